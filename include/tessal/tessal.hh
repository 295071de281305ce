#pragma once

// Umbrella header: every public C++ header of the library.

#include "tessal/export.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "tessal/version.hh"
