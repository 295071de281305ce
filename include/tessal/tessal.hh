#pragma once

// Umbrella header: every public C++ header of the library.

#include "tessal/context.hh"
#include "tessal/export.hh"
#include "tessal/frame.hh"
#include "tessal/media_stream.hh"
#include "tessal/rtcp.hh"
#include "tessal/session.hh"
#include "tessal/stream_statistics.hh"
#include "tessal/util.hh"
#include "tessal/version.hh"
