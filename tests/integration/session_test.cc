// Context and session: address and flag validation, stream registration and
// destruction, the CNAME.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "api/context_impl.hh"
#include "stream/media_stream_internal.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "tessal/tessal.h"
#include "tessal/tessal.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::stderr_capture;
using tessal::test::udp_port_bindable;

namespace {

constexpr RTP_FORMAT k_fmt = FMT_PCMU;

TEST(Context, SessionAddressesAreValidated) {
    context ctx;
    struct Case {
        const char *name;
        const char *local;
        const char *remote;
        bool single;
        bool ok;
        const char *message;
    } cases[] = {
        {"single null", nullptr, nullptr, true, false,
         "[::create_session] Please specify the address you want to communicate with!"},
        {"single empty", nullptr, "", true, false,
         "Please specify the address you want to communicate with!"},
        {"single", nullptr, "127.0.0.1", true, true, nullptr},
        {"both null", nullptr, nullptr, false, false,
         "[::create_session] Please specify at least one address for create_session"},
        {"remote only", "", "127.0.0.1", false, true, nullptr},
        {"local only", "127.0.0.1", nullptr, false, true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        session *s =
            c.single ? ctx.create_session(c.remote) : ctx.create_session(c.local, c.remote);
        const std::string out = cap.stop();
        EXPECT_EQ(s != nullptr, c.ok);
        if (c.message != nullptr) {
            EXPECT_NE(out.find(c.message), std::string::npos) << out;
        }
        EXPECT_EQ(ctx.destroy_session(s), s ? RTP_SUCCESS : RTP_BAD_ARGUMENT);
    }
    EXPECT_TRUE(ctx.crypto_enabled());
}

TEST(Session, StreamFlagAndPortValidation) {
    context ctx;
    session *single = ctx.create_session("127.0.0.1");
    session *remote_only = ctx.create_session("", "127.0.0.1");
    session *local_only = ctx.create_session("127.0.0.1", "");
    struct Case {
        const char *name;
        session *s;
        uint16_t src, dst;
        int flags;
        const char *message;  // nullptr: the stream is created
    } cases[] = {
        {"both directions flags", single, 0, 5004, RCE_SEND_ONLY | RCE_RECEIVE_ONLY,
         "Cannot both use RCE_SEND_ONLY and RCE_RECEIVE_ONLY!"},
        {"receive only without port", single, 0, 5004, RCE_RECEIVE_ONLY,
         "RCE_RECEIVE_ONLY requires source port!"},
        {"send only without port", single, 5004, 0, RCE_SEND_ONLY,
         "RCE_SEND_ONLY requires destination port!"},
        {"receive only without local address", remote_only, 5004, 0, RCE_RECEIVE_ONLY,
         "RCE_RECEIVE_ONLY requires local address!"},
        {"send only without remote address", local_only, 0, 5004, RCE_SEND_ONLY,
         "RCE_SEND_ONLY requires remote address!"},
        // Regression: SRTP without a key source ran on never-keyed contexts,
        // and user keys without SRTP could never start.
        {"SRTP without a key source", single, 0, 5004, RCE_SEND_ONLY | RCE_SRTP,
         "RCE_SRTP needs RCE_SRTP_KEYS_FROM_USER or RCE_SRTP_KEYS_FROM_ZRTP"},
        {"user keys without SRTP", single, 0, 5004, RCE_SEND_ONLY | RCE_SRTP_KEYS_FROM_USER,
         "SRTP key sources need RCE_SRTP"},
        {"both key sources", single, 0, 5004,
         RCE_SEND_ONLY | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_KEYS_FROM_ZRTP,
         "Choose one source of SRTP keys, not both"},
        {"ZRTP with 256-bit keys", single, 0, 5004,
         RCE_SEND_ONLY | RCE_SRTP | RCE_SRTP_KEYS_FROM_ZRTP | RCE_SRTP_AES256,
         "Only 128-bit keys are supported with ZRTP"},
        {"SRTP with user keys", single, 0, 5004, RCE_SEND_ONLY | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER,
         nullptr},
        {"send only", remote_only, 0, 5004, RCE_SEND_ONLY, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        media_stream *stream = c.s->create_stream(c.src, c.dst, k_fmt, c.flags);
        const std::string out = cap.stop();
        if (c.message == nullptr) {
            EXPECT_NE(stream, nullptr) << out;
        } else {
            EXPECT_EQ(stream, nullptr);
            EXPECT_NE(out.find(std::string("[::create_stream] ") + c.message), std::string::npos)
                << out;
        }
    }
    ctx.destroy_session(single);
    ctx.destroy_session(remote_only);
    ctx.destroy_session(local_only);
}

TEST(Session, OnePortFormAndRetiredFlag) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    stderr_capture cap;
    media_stream *stream = s->create_stream(port, k_fmt, RCE_RETIRED_FLAG);
    const std::string out = cap.stop();
    ASSERT_NE(stream, nullptr);
    EXPECT_NE(out.find("You haven't specified the purpose of port with rce_flags. Using it as "
                       "destination port and not binding"),
              std::string::npos);
    EXPECT_NE(out.find("You are using a flag that has either been removed or has been enabled by "
                       "default. Consider updating RCE flags"),
              std::string::npos);
    EXPECT_TRUE(udp_port_bindable(port)) << "the port is the destination, not bound";

    media_stream *rx = s->create_stream(port, k_fmt, RCE_RECEIVE_ONLY);
    ASSERT_NE(rx, nullptr);
    EXPECT_FALSE(udp_port_bindable(port)) << "a receive-only port is bound";
    EXPECT_NE(rx->get_ssrc(), 0u);

    EXPECT_EQ(s->destroy_stream(nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(s->destroy_stream(stream), RTP_SUCCESS);
    EXPECT_EQ(s->destroy_stream(stream), RTP_NO_SUCH_ITEM);
    ctx.destroy_session(s);  // destroys rx with it
    EXPECT_TRUE(udp_port_bindable(port));
}

TEST(Context, CnameIsHostAtUser) {
    context::context_impl impl;
    const std::regex form("[^@]+@[^@]+");
    EXPECT_TRUE(std::regex_match(impl.cname, form)) << impl.cname;
}

TEST(CInterface, CreateAndDestroy) {
    testing::internal::CaptureStdout();
    tessal_context *ctx = nullptr;
    tessal_create_ctx(&ctx);
    ASSERT_NE(ctx, nullptr);
    tessal_session *s = nullptr;
    stderr_capture cap;
    tessal_create_session(ctx, &s, "");
    EXPECT_EQ(s, nullptr);
    EXPECT_NE(cap.stop().find("Please specify the address you want to communicate with!"),
              std::string::npos);
    tessal_create_session(ctx, &s, "127.0.0.1");
    ASSERT_NE(s, nullptr);
    const std::string printed = testing::internal::GetCapturedStdout();
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%p\n", static_cast<void *>(ctx));
    EXPECT_NE(printed.find(expected), std::string::npos) << printed;
    tessal_destroy_session(nullptr, s);  // nothing
    tessal_destroy_session(ctx, nullptr);
    EXPECT_EQ(tessal_destroy_stream(s, nullptr), RTP_BAD_ARGUMENT);
    tessal_destroy_session(ctx, s);
    tessal_destroy_ctx(nullptr);
    tessal_destroy_ctx(ctx);
}

}  // namespace

namespace {

size_t open_descriptors() {
    size_t count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

// Regression: a local port held by another socket used to give a stream
// that was created "successfully" and never received (its failed bind was
// ignored); a failed set-up also left its socket and flow behind.
// A session's streams, and their internal objects, are made side by side:
// an application that pushes to many streams in turn reaches the next one's
// state at the cost of a neighbour's, not of a page of its own.
TEST(Session, StreamsLieSideBySide) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    ASSERT_NE(s, nullptr);
    std::vector<uintptr_t> streams;
    std::vector<uintptr_t> internals;
    for (int i = 0; i < 4; ++i) {
        media_stream *m = s->create_stream(0, 5004, k_fmt, RCE_SEND_ONLY);
        ASSERT_NE(m, nullptr);
        streams.push_back(reinterpret_cast<uintptr_t>(m));
        internals.push_back(reinterpret_cast<uintptr_t>(m->internal()));
    }
    // One slot after another: the object's size rounded up to 16 bytes for
    // the streams, to a cache line for the internal objects, which start on
    // one.
    const uintptr_t stream_slot = (sizeof(media_stream) + 15) / 16 * 16;
    const uintptr_t internal_slot = (sizeof(media_stream_internal) + 63) / 64 * 64;
    for (size_t i = 1; i < streams.size(); ++i) {
        EXPECT_EQ(streams[i] - streams[i - 1], stream_slot) << i;
        EXPECT_EQ(internals[i] - internals[i - 1], internal_slot) << i;
        EXPECT_EQ(internals[i] % 64, 0u) << i;
    }
    ctx.destroy_session(s);
}

TEST(Session, PortHeldElsewhereFailsStreamSetUpAndReleasesEverything) {
    struct Case {
        const char *name;
        const char *local;  // create_session(local, remote)
        const char *remote;
        int flags;
    } cases[] = {
        {"wildcard bind", "", "127.0.0.1", 0},
        {"bind to the local address", "127.0.0.1", "127.0.0.1", 0},
        {"receive-only on the local address", "127.0.0.1", nullptr, RCE_RECEIVE_ONLY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint16_t port = free_udp_port();
        int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);

        context ctx;
        session *s = ctx.create_session(c.local, c.remote);
        ASSERT_NE(s, nullptr);
        const uint16_t dst = (c.flags & RCE_RECEIVE_ONLY) ? 0 : 5004;
        const size_t before = open_descriptors();
        stderr_capture cap;
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(s->create_stream(port, dst, k_fmt, c.flags), nullptr);
        }
        const std::string out = cap.stop();
        EXPECT_NE(out.find("[::init] Failed to initialize the underlying socket"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("Binding to port " + std::to_string(port) + " failed!"),
                  std::string::npos)
            << out;
        EXPECT_EQ(open_descriptors(), before);
        ::close(holder);

        // The port works once it is free.
        media_stream *stream = s->create_stream(port, dst, k_fmt, c.flags);
        EXPECT_NE(stream, nullptr);
        ctx.destroy_session(s);
    }
}

}  // namespace
