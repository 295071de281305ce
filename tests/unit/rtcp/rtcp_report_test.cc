// Report generation: golden compound packets, APP/BYE/SDES content, the SR
// timestamp, SRTCP, stopping; and the public facade's hooks and getters.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "security/srtcp.hh"
#include "support/rtcp_fixture.hh"
#include "support/stderr_capture.hh"
#include "tessal/rtcp.hh"
#include "util/byte_reader.hh"

using namespace tessal;
using namespace tessal::test;

namespace {

// What a sender that has heard nobody sends: SR without blocks + SDES.
const std::vector<uint8_t> k_golden_sr = {
    0x80, 0xC8, 0x00, 0x06,  // V=2, RC=0, SR, length 6 (28 bytes)
    0xAA, 0xBB, 0xCC, 0xDD,  // our SSRC
    0x83, 0xAA, 0x7E, 0x80,  // NTP seconds (the injected clock)
    0x80, 0x00, 0x00, 0x00,  // NTP fraction
    0x00, 0x00, 0x10, 0x00,  // RTP timestamp of the last frame, same instant
    0x00, 0x00, 0x00, 0x03,  // 3 packets
    0x00, 0x00, 0x01, 0x2C,  // 300 payload octets
    0x81, 0xCA, 0x00, 0x04,  // V=2, SC=1, SDES, length 4 (20 bytes)
    0xAA, 0xBB, 0xCC, 0xDD,  // chunk: our SSRC
    0x01, 0x07, 'm',  'e',  '@', 'h', 'o', 's', 't',  // CNAME, 7 bytes
    0x00, 0x00, 0x00,                                 // end of items, padding
};

// The last frame was stamped 0x1000 at the injected NTP time.
void stamp_last_frame(rtcp_fixture &f, uint32_t ts = 0x1000, uint64_t at = k_ntp_base) {
    f.rtp_state->set_sampling_ntp(at);
    f.rtp_state->set_timestamp(ts);
    uint8_t header[12];
    f.rtp_state->fill_header(header, false);
    f.rtp_state->set_timestamp(static_cast<uint64_t>(-1));
}

// Parses what `sender` sent last with a second object and returns it.
struct parsed {
    std::unique_ptr<frame::rtcp_sender_report> sr;
    std::unique_ptr<frame::rtcp_receiver_report> rr;
    sdes_ptr sdes;
    std::vector<std::string> apps;
    RTP_ERROR result;
};

std::vector<std::string> g_apps;  // receiving thread = test thread

parsed parse(const std::vector<uint8_t> &datagram, int flags = RCE_WITH_RTCP,
             std::shared_ptr<srtcp> keys = nullptr) {
    rtcp_fixture rx(flags, true, 0x99);
    if (keys) {
        rx.rtcp->set_srtcp(keys);
    }
    g_apps.clear();
    rx.rtcp->install_app_hook([](frame::rtcp_app_packet *app) {
        g_apps.emplace_back(reinterpret_cast<char *>(app->app_name), 4);
        g_apps.back() +=
            ":" + std::to_string(app->header.count) + ":" + std::to_string(app->payload_length);
        delete[] app->payload;
        delete app;
    });
    parsed p;
    p.result = rx.feed(datagram);
    p.sr = rx.rtcp->get_sender_packet(k_local_ssrc);
    p.rr = rx.rtcp->get_receiver_packet(k_local_ssrc);
    p.sdes = rx.rtcp->get_sdes_packet(k_local_ssrc);
    p.apps = g_apps;
    return p;
}

}  // namespace

// Regression: nothing was sent before another source was heard; a sender
// reports from its first interval (RFC 3550 6.4.1).
TEST(RtcpReport, SenderThatHeardNobodySendsTheGoldenSenderReport) {
    rtcp_fixture f;
    f.sent_media(3, 100);
    stamp_last_frame(f);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 1u);
    EXPECT_EQ(f.transport->sent()[0], k_golden_sr);
}

TEST(RtcpReport, ReceiverSendsNothingBeforeItHeardSomeone) {
    rtcp_fixture f;
    ASSERT_EQ(f.rtcp->send_app_packet("ABCD", 0, 0, nullptr), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    EXPECT_TRUE(f.transport->sent().empty());
    f.feed_rtp(k_peer_ssrc, 1);
    f.feed_rtp(k_peer_ssrc, 2);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    ASSERT_EQ(f.transport->sent().size(), 1u);
    const std::vector<uint8_t> d = f.transport->sent()[0];
    // RR with one block (32) + SDES (20) + the APP that waited (12).
    ASSERT_EQ(d.size(), 64u);
    EXPECT_EQ(d[0], 0x81);
    EXPECT_EQ(d[1], 201);
    parsed p = parse(d);
    ASSERT_NE(p.rr, nullptr);
    ASSERT_EQ(p.rr->reports.size(), 1u);
    EXPECT_EQ(p.rr->reports[0].source_ssrc, k_peer_ssrc);
    EXPECT_EQ(p.rr->reports[0].highest_seq, 2u);
    EXPECT_EQ(p.apps, (std::vector<std::string>{std::string("ABCD:0:0")}));
}

TEST(RtcpReport, SenderReportOnlyAfterMediaWasSent) {
    rtcp_fixture f;
    f.feed(rr_packet(k_peer_ssrc));
    struct Step {
        int media;
        uint8_t type;
    };
    const Step steps[] = {{1, 200}, {0, 201}, {2, 200}, {0, 201}};
    for (const Step &s : steps) {
        f.sent_media(s.media);
        ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
        EXPECT_EQ(f.transport->sent().back()[1], s.type);
    }
}

TEST(RtcpReport, EverythingBuiltIsParsedBack) {
    rtcp_fixture f;
    f.feed_rtp(k_peer_ssrc, 1);
    f.feed_rtp(k_peer_ssrc, 2);
    f.sent_media(1);
    uint8_t name[] = {'T', 'e', 's', 's', 'a', 'l'};
    ASSERT_EQ(f.rtcp->add_sdes_item({2, sizeof(name), name}), RTP_SUCCESS);
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(f.rtcp->send_app_packet("AB", 33, 8, payload), RTP_SUCCESS);
    std::vector<uint32_t> byes;
    for (uint32_t i = 0; i < 40; ++i) {
        byes.push_back(0x1000 + i);
    }
    ASSERT_EQ(f.rtcp->send_bye_packet(byes), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    parsed p = parse(f.transport->sent().back());
    EXPECT_EQ(p.result, RTP_SUCCESS);
    ASSERT_NE(p.sr, nullptr);
    EXPECT_EQ(p.sr->info.packet_count, 1u);
    ASSERT_EQ(p.sr->reports.size(), 1u);
    ASSERT_NE(p.sdes, nullptr);
    ASSERT_EQ(p.sdes->chunks[0].items.size(), 2u);
    EXPECT_EQ(p.sdes->chunks[0].items[0].item_type, 1);  // CNAME first
    EXPECT_EQ(p.sdes->chunks[0].items[1].item_type, 2);
    EXPECT_EQ(p.sdes->chunks[0].items[1].item_length, sizeof(name));
    // Subtype masked to 5 bits; the short name zero-filled.
    EXPECT_EQ(p.apps, (std::vector<std::string>{std::string("AB\0\0:1:8", 8)}));
}

TEST(RtcpReport, QueuedAppPacketsLeaveOnePerNamePerReport) {
    rtcp_fixture f;
    f.feed(rr_packet(k_peer_ssrc));
    const uint8_t p[4] = {9, 9, 9, 9};
    f.rtcp->send_app_packet("ABCD", 1, 4, p);
    f.rtcp->send_app_packet("WXYZ", 2, 4, p);
    f.rtcp->send_app_packet("ABCD", 3, 4, p);
    f.rtcp->send_app_packet("ABCD", 4, 4, p);
    const std::vector<std::vector<std::string>> want = {
        {"ABCD:1:4", "WXYZ:2:4"}, {"ABCD:3:4"}, {"ABCD:4:4"}, {}};
    for (const auto &w : want) {
        f.rtcp->generate_report();
        EXPECT_EQ(parse(f.transport->sent().back()).apps, w);
    }
}

// Regression: send_app_packet accepted payloads that could never be sent,
// and one of them made every later report fail.
TEST(RtcpReport, UnsendableAppPacketsAreRefusedAndReportsGoOn) {
    rtcp_fixture f;
    f.feed(rr_packet(k_peer_ssrc));
    const uint8_t p[8] = {};
    struct Case {
        const char *name;
        const char *app_name;
        uint32_t length;
        const uint8_t *payload;
    };
    const Case cases[] = {
        {"not whole words", "ABCD", 6, p},
        {"too long for one packet", "ABCD", 65524, p},
        {"null payload with a length", "ABCD", 8, nullptr},
        {"null name", nullptr, 8, p},
    };
    stderr_capture quiet;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(f.rtcp->send_app_packet(c.app_name, 0, c.length, c.payload), RTP_BAD_ARGUMENT);
    }
    EXPECT_EQ(f.rtcp->send_app_packet("ABCD", 0, 8, p), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    EXPECT_EQ(parse(f.transport->sent().back()).apps, (std::vector<std::string>{"ABCD:0:8"}));
    EXPECT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
}

// Regression: an unsendable packet from a send-APP hook failed the whole
// report; and removing the last hook kept the queue blocked.
TEST(RtcpReport, SendAppHooksDropBadPacketsAloneAndTheirRemovalFreesTheQueue) {
    rtcp_fixture f;
    f.feed(rr_packet(k_peer_ssrc));
    ASSERT_EQ(f.rtcp->install_send_app_hook("BAD",
                                            [](uint8_t &subtype, uint32_t &length) {
                                                subtype = 1;
                                                length = 6;
                                                return std::unique_ptr<uint8_t[]>(new uint8_t[6]());
                                            }),
              RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->install_send_app_hook("GOOD",
                                            [](uint8_t &subtype, uint32_t &length) {
                                                subtype = 2;
                                                length = 4;
                                                return std::unique_ptr<uint8_t[]>(new uint8_t[4]());
                                            }),
              RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_app_packet("QUEU", 3, 0, nullptr), RTP_SUCCESS);
    stderr_capture quiet;
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    parsed first = parse(f.transport->sent().back());
    EXPECT_EQ(first.result, RTP_SUCCESS);
    EXPECT_EQ(first.apps, (std::vector<std::string>{"GOOD:2:4"}));

    EXPECT_EQ(f.rtcp->remove_send_app_hook("BAD"), RTP_SUCCESS);
    EXPECT_EQ(f.rtcp->remove_send_app_hook("BAD"), RTP_BAD_ARGUMENT);
    f.rtcp->generate_report();
    EXPECT_EQ(parse(f.transport->sent().back()).apps, (std::vector<std::string>{"GOOD:2:4"}));
    EXPECT_EQ(f.rtcp->remove_send_app_hook("GOOD"), RTP_SUCCESS);
    f.rtcp->generate_report();
    EXPECT_EQ(parse(f.transport->sent().back()).apps, (std::vector<std::string>{"QUEU:3:0"}));
}

// Regression: the SR timestamp was extrapolated with the clock rate of
// construction, even after the stream's rate changed.
TEST(RtcpReport, SenderReportTimestampFollowsTheCurrentClockRate) {
    struct Case {
        const char *name;
        uint32_t stream_rate;
        uint32_t ts_info_rate;
        uint32_t want;
    };
    const Case cases[] = {
        {"construction rate", 90000, 0, 1000 + 90000},
        {"changed rate", 48000, 0, 1000 + 48000},
        {"rate from set_ts_info", 48000, 8000, 1000 + 8000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rtcp_fixture f;
        f.rtp_state->set_clock_rate(c.stream_rate);
        if (c.ts_info_rate != 0) {
            f.rtcp->set_ts_info(0, c.ts_info_rate, 0);
        }
        f.sent_media(1);
        stamp_last_frame(f, 1000, k_ntp_base);
        fake_ntp().store(ntp_after_ms(1000));
        ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
        const std::vector<uint8_t> d = f.transport->sent().back();
        EXPECT_EQ(read_be32(d.data() + 16), c.want);
    }
}

// Regression: a send without a socket reported success.
TEST(RtcpReport, SendingWithoutATransportFails) {
    auto local = make_shared_ssrc(k_local_ssrc);
    rtcp_internal r(std::make_shared<rtp>(FMT_H265, local, false), local, make_shared_ssrc(1), "me",
                    RCE_WITH_RTCP);
    r.update_sender_stats(10);
    stderr_capture cap;
    EXPECT_EQ(r.generate_report(), RTP_FAILED);
    EXPECT_NE(cap.stop().find("Tried to send RTCP packet when socket does not exist!"),
              std::string::npos);
}

// Decision: never RTCP in clear on an SRTP stream; reports wait for keys.
TEST(RtcpReport, SrtpStreamSendsNothingBeforeSrtcpIsKeyed) {
    const int flags = RCE_WITH_RTCP | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER;
    rtcp_fixture f(flags);
    f.sent_media(3);
    EXPECT_EQ(f.rtcp->generate_report(), RTP_PENDING);
    EXPECT_TRUE(f.transport->sent().empty());

    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint8_t salt[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    auto tx = std::make_shared<srtcp>();
    auto rx = std::make_shared<srtcp>();
    ASSERT_EQ(tx->init(1, flags, key, key, salt, salt), RTP_SUCCESS);
    ASSERT_EQ(rx->init(1, flags, key, key, salt, salt), RTP_SUCCESS);
    f.rtcp->set_srtcp(tx);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    const std::vector<uint8_t> d = f.transport->sent().back();
    ASSERT_EQ(d.size(), 48u + 14);
    EXPECT_NE(std::vector<uint8_t>(d.begin() + 8, d.begin() + 28),
              std::vector<uint8_t>(k_golden_sr.begin() + 8, k_golden_sr.begin() + 28));
    parsed p = parse(d, flags, rx);
    EXPECT_EQ(p.result, RTP_SUCCESS);
    ASSERT_NE(p.sr, nullptr);
    EXPECT_EQ(p.sr->info.packet_count, 3u);
    stderr_capture quiet;
    EXPECT_NE(parse(d, flags, nullptr).result, RTP_SUCCESS);  // no keys: not accepted
}

// Regression: stop dropped the socket while the runner could still send,
// and a report could follow the final BYE.
TEST(RtcpReport, StopSendsTheByeLastThenClosesTheTransport) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        rtcp_fixture f(RCE_WITH_RTCP, false);
        // A receiver's reduced minimum of 1 ms: the runner reports all the time.
        f.rtcp->set_session_bandwidth(360000);
        ASSERT_EQ(f.rtcp->start(), RTP_SUCCESS);
        f.feed_rtp(k_peer_ssrc, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(f.rtcp->stop(), RTP_SUCCESS);
        const std::vector<std::string> events = f.transport->events();
        ASSERT_GE(events.size(), 5u);  // open, start_receiving, reports, BYE, close
        EXPECT_EQ(events.back(), "close");
        EXPECT_EQ(events[events.size() - 2], "send");
        const std::vector<std::vector<uint8_t>> sent = f.transport->sent();
        for (size_t i = 0; i < sent.size(); ++i) {
            const std::vector<uint8_t> &d = sent[i];
            const bool has_bye = d.size() >= 8 && d[d.size() - 7] == 203 &&
                                 read_be32(d.data() + d.size() - 4) == k_local_ssrc;
            EXPECT_EQ(has_bye, i + 1 == sent.size()) << i;
        }
        EXPECT_EQ(f.rtcp->stop(), RTP_SUCCESS);  // again: nothing more
        EXPECT_EQ(f.transport->events().size(), events.size());
    }
}

// --- the public facade ------------------------------------------------------

namespace {

std::vector<frame::rtcp_sr> g_srs;
void keep_sr(frame::rtcp_sr *sr) {
    g_srs.push_back(*sr);
}
std::vector<uint32_t> g_sdes_ssrcs;
void take_sdes(frame::rtcp_sdes *sdes) {
    for (size_t j = 0; j < sdes->header.count; ++j) {
        g_sdes_ssrcs.push_back(sdes->chunks[j].chunk_ssrc);
        for (size_t i = 0; i < sdes->chunks[j].item_count; ++i) {
            delete[] sdes->chunks[j].items[i].item_data;
        }
    }
    frame::dealloc_sdes(sdes);
}
uint8_t *no_app(uint8_t *, uint32_t *, void *) {
    return nullptr;
}

struct facade_fixture {
    facade_fixture()
        : local(make_shared_ssrc(k_local_ssrc)),
          facade(std::make_shared<rtp>(FMT_H265, local, false), local, make_shared_ssrc(1),
                 "me@host", RCE_WITH_RTCP),
          transport(std::make_shared<fake_rtcp_transport>()) {
        fake_ntp().store(k_ntp_base);
        facade.internal()->set_ntp_source(fake_ntp_now);
        facade.internal()->set_transport(transport);
        facade.internal()->start_without_runner();
    }
    RTP_ERROR feed(std::vector<uint8_t> d) {
        return facade.internal()->handle_incoming_packet(d.data(), d.size());
    }
    std::vector<uint8_t> sr_from_peer(uint32_t packets) {
        std::vector<uint8_t> sr = {0x81, 200, 0x00, 0x0C};
        put32(sr, k_peer_ssrc);
        put32(sr, 1);
        put32(sr, 2);
        put32(sr, 3);
        put32(sr, packets);
        put32(sr, 5);
        std::vector<uint8_t> block = rr_packet(k_peer_ssrc);
        sr.insert(sr.end(), block.begin() + 8, block.end());
        return concat({sr, sdes_packet(k_peer_ssrc, "peer")});
    }
    shared_ssrc local;
    rtcp facade;
    std::shared_ptr<fake_rtcp_transport> transport;
};

}  // namespace

TEST(RtcpFacade, GettersHandOutTheLatestRecordOnce) {
    facade_fixture f;
    f.feed(f.sr_from_peer(7));
    f.feed(f.sr_from_peer(8));
    frame::rtcp_sr *sr = f.facade.get_sr(k_peer_ssrc);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->info.packet_count, 8u);
    ASSERT_EQ(sr->header.count, 1);
    EXPECT_EQ(sr->reports[0].cumulative_lost, 258);
    frame::dealloc_sr(sr);
    delete sr;
    EXPECT_EQ(f.facade.get_sr(k_peer_ssrc), nullptr);
    EXPECT_EQ(f.facade.get_rr(k_peer_ssrc), nullptr);
    EXPECT_EQ(f.facade.get_sr(0x999), nullptr);

    frame::rtcp_sdes *sdes = f.facade.get_sdes(k_peer_ssrc);
    ASSERT_NE(sdes, nullptr);
    ASSERT_EQ(sdes->header.count, 1);
    ASSERT_EQ(sdes->chunks[0].item_count, 1u);
    EXPECT_EQ(sdes->chunks[0].items[0].item_data[0], 'p');
    delete[] sdes->chunks[0].items[0].item_data;
    frame::dealloc_sdes(sdes);
    delete sdes;
}

TEST(RtcpFacade, FunctionPointerHooksReplaceOtherFormsAndOwnTheArrays) {
    facade_fixture f;
    int unique_calls = 0;
    ASSERT_EQ(f.facade.internal()->install_sender_hook(
                  std::function<void(std::unique_ptr<frame::rtcp_sender_report>)>(
                      [&](std::unique_ptr<frame::rtcp_sender_report>) { ++unique_calls; })),
              RTP_SUCCESS);
    g_srs.clear();
    g_sdes_ssrcs.clear();
    ASSERT_EQ(f.facade.install_sender_hook(keep_sr), RTP_SUCCESS);
    ASSERT_EQ(f.facade.install_sdes_hook(take_sdes), RTP_SUCCESS);
    f.feed(f.sr_from_peer(9));
    EXPECT_EQ(unique_calls, 0);
    ASSERT_EQ(g_srs.size(), 1u);
    EXPECT_EQ(g_srs[0].reports[0].source_ssrc, k_local_ssrc);  // still valid after the call
    frame::dealloc_sr(&g_srs[0]);
    EXPECT_EQ(g_sdes_ssrcs, (std::vector<uint32_t>{k_peer_ssrc}));
    EXPECT_EQ(f.facade.get_sr(k_peer_ssrc), nullptr);  // the hook took it

    EXPECT_EQ(f.facade.install_sender_hook(nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.facade.install_app_hook(nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.facade.install_send_app_hook("ABCDE", no_app, nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.facade.install_send_app_hook(nullptr, no_app, nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.facade.install_send_app_hook("AB", no_app, nullptr), RTP_SUCCESS);
    EXPECT_EQ(f.facade.install_send_app_hook("AB", no_app, nullptr), RTP_SUCCESS);
    EXPECT_EQ(f.facade.remove_send_app_hook("AB"), RTP_SUCCESS);
    EXPECT_EQ(f.facade.remove_send_app_hook("AB"), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.facade.send_bye_packet(nullptr, 1), RTP_BAD_ARGUMENT);
    const uint32_t one = 5;
    EXPECT_EQ(f.facade.send_bye_packet(&one, 0), RTP_BAD_ARGUMENT);
    EXPECT_EQ(f.facade.remove_all_hooks(), RTP_SUCCESS);
    f.feed(f.sr_from_peer(10));
    EXPECT_EQ(g_srs.size(), 1u);
    frame::rtcp_sr *kept = f.facade.get_sr(k_peer_ssrc);
    ASSERT_NE(kept, nullptr);
    frame::dealloc_sr(kept);
    delete kept;
}

TEST(RtcpFacade, SdesItemsFollowTheApplication) {
    facade_fixture f;
    f.feed(rr_packet(k_peer_ssrc));
    uint8_t name[] = {'N', 'a', 'm', 'e'};
    uint8_t cname[] = {'n', 'e', 'w'};
    struct Step {
        const char *name;
        int action;  // 0 add NAME, 1 replace CNAME, 2 clear
        std::vector<uint8_t> types;
        std::string first;
    };
    const Step steps[] = {
        {"NAME added", 0, {1, 2}, "me@host"},
        {"CNAME replaced", 1, {1, 2}, "new"},
        {"cleared", 2, {1}, "me@host"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.action == 0) {
            EXPECT_EQ(f.facade.add_sdes_item({2, sizeof(name), name}), RTP_SUCCESS);
        } else if (s.action == 1) {
            EXPECT_EQ(f.facade.add_sdes_item({1, sizeof(cname), cname}), RTP_SUCCESS);
        } else {
            EXPECT_EQ(f.facade.clear_sdes_items(), RTP_SUCCESS);
        }
        f.facade.internal()->generate_report();
        parsed p = parse(f.transport->sent().back());
        ASSERT_NE(p.sdes, nullptr);
        std::vector<uint8_t> types;
        for (const auto &item : p.sdes->chunks[0].items) {
            types.push_back(item.item_type);
        }
        EXPECT_EQ(types, s.types);
        const frame::rtcp_sdes_item &first = p.sdes->chunks[0].items[0];
        EXPECT_EQ(std::string(reinterpret_cast<char *>(first.item_data), first.item_length),
                  s.first);
    }
    stderr_capture cap;
    EXPECT_EQ(f.facade.add_sdes_item({0, 1, name}), RTP_FAILED);
    EXPECT_NE(cap.stop().find("Invalid item type 0, not adding item"), std::string::npos);
}
