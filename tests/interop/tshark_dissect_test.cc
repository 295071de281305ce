// tshark dissects what we put on the wire: packets built by our generic,
// H.264 and H.265 senders (recorded through the socket seam) and by our RTCP
// (recorded through its transport seam) are written to a pcap file and read
// back by tshark's RTP, H.264, H.265 and RTCP dissectors, an implementation
// independent of ours.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "formats/h26x.hh"
#include "formats/media.hh"
#include "rtp/rtp.hh"
#include "stream/loss_recovery.hh"
#include "support/fake_syscalls.hh"
#include "support/rtcp_fixture.hh"
#include "transport/socket.hh"

using namespace tessal;
using bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t k_ssrc = 0x5A5A1234;

bool have_tshark() {
    return std::system("tshark -v >/dev/null 2>&1") == 0;
}

// A pcap file of raw IPv4 packets (LINKTYPE_IPV4, 228): 127.0.0.1:40000 ->
// 127.0.0.1:5004 over UDP, one packet per datagram.
void write_pcap(const std::string &path, const std::vector<bytes> &datagrams) {
    std::ofstream out(path, std::ios::binary);
    auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
    auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
    put32(0xa1b2c3d4);
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32(65535);
    put32(228);
    uint32_t usec = 0;
    for (const bytes &d : datagrams) {
        const size_t udp_len = 8 + d.size();
        const size_t ip_len = 20 + udp_len;
        bytes pkt = {0x45,
                     0,
                     uint8_t(ip_len >> 8),
                     uint8_t(ip_len),
                     0,
                     1,
                     0,
                     0,
                     64,
                     17,
                     0,
                     0,
                     127,
                     0,
                     0,
                     1,
                     127,
                     0,
                     0,
                     1,
                     0x9C,
                     0x40,
                     0x13,
                     0x8C,
                     uint8_t(udp_len >> 8),
                     uint8_t(udp_len),
                     0,
                     0};
        pkt.insert(pkt.end(), d.begin(), d.end());
        put32(0);
        put32(usec++);
        put32(static_cast<uint32_t>(pkt.size()));
        put32(static_cast<uint32_t>(pkt.size()));
        out.write(reinterpret_cast<const char *>(pkt.data()),
                  static_cast<std::streamsize>(pkt.size()));
    }
}

std::string run(const std::string &command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return output;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof(buf), pipe.get())) > 0) {
        output.append(buf, n);
    }
    return output;
}

// One line per packet, the requested fields separated by ';'.
std::vector<std::vector<std::string>> dissect(const std::string &pcap, int pt, const char *codec,
                                              const std::string &fields) {
    std::string command = "tshark -r " + pcap + " -d udp.port==5004,rtp";
    if (codec != nullptr) {
        command += " -d rtp.pt==" + std::to_string(pt) + "," + codec;
    }
    command += " -T fields -E separator=';' -E aggregator='/' " + fields + " 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(run(command));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> row;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ';')) {
            row.push_back(cell);
        }
        rows.push_back(row);
    }
    return rows;
}

// Datagrams our sender puts on the wire for one push.
struct recorder {
    test::fake_syscalls fake;
    std::shared_ptr<tessal::socket> sock = std::make_shared<tessal::socket>(RCE_SCC_ENABLED, &fake);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6{};

    recorder() { sock->init(AF_INET, SOCK_DGRAM, 0); }
    std::vector<bytes> datagrams() {
        std::vector<bytes> out;
        for (auto &d : fake.sent()) {
            out.push_back(d.bytes);
        }
        return out;
    }
};

// Checks the RTP columns 0-5: version, payload type, sequence, timestamp,
// marker, SSRC: one timestamp, consecutive sequence numbers, marker on the
// last packet only.
void expect_one_frame(const std::vector<std::vector<std::string>> &rows, int pt) {
    ASSERT_FALSE(rows.empty());
    const long first_seq = std::stol(rows[0][2]);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_GE(rows[i].size(), 6u);
        EXPECT_EQ(rows[i][0], "2");
        EXPECT_EQ(rows[i][1], std::to_string(pt));
        EXPECT_EQ(std::stol(rows[i][2]), (first_seq + static_cast<long>(i)) % 65536);
        EXPECT_EQ(rows[i][3], rows[0][3]);
        EXPECT_EQ(rows[i][4], i + 1 == rows.size() ? "1" : "0");
        EXPECT_EQ(std::stoul(rows[i][5], nullptr, 16), k_ssrc);
    }
}

const std::string k_rtp_fields =
    "-e rtp.version -e rtp.p_type -e rtp.seq -e rtp.timestamp -e rtp.marker -e rtp.ssrc";

class TsharkDissects : public testing::Test {
protected:
    void SetUp() override {
        if (!have_tshark()) {
            GTEST_SKIP() << "tshark is not installed (scripts/deps.sh --test installs it)";
        }
        pcap_ = testing::TempDir() + "tessal_" +
                testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    }
    void TearDown() override { std::remove(pcap_.c_str()); }

    void expect_not_malformed() {
        const std::string summary =
            run("tshark -r " + pcap_ + " -d udp.port==5004,rtp -d rtp.pt==106,h264 " +
                "-d rtp.pt==107,h265 2>/dev/null");
        EXPECT_EQ(summary.find("Malformed"), std::string::npos) << summary;
    }

    std::string pcap_;
};

TEST_F(TsharkDissects, GenericFragmentedFrame) {
    recorder r;
    auto state = std::make_shared<rtp>(FMT_G726_40, make_shared_ssrc(k_ssrc), false);
    state->set_payload_size(1000);
    formats::media generic(r.sock, state, RCE_FRAGMENT_GENERIC);
    bytes frame(2500, 0x42);
    ASSERT_EQ(generic.push_frame(r.to4, r.to6, frame.data(), frame.size(), 0, k_ssrc), RTP_SUCCESS);
    write_pcap(pcap_, r.datagrams());
    const auto rows = dissect(pcap_, 96, nullptr, k_rtp_fields + " -e rtp.payload");
    ASSERT_EQ(rows.size(), 3u);
    expect_one_frame(rows, 96);
    expect_not_malformed();
}

TEST_F(TsharkDissects, H264StapAAndFuA) {
    recorder r;
    auto state = std::make_shared<rtp>(FMT_H264, make_shared_ssrc(k_ssrc), false);
    formats::h264 video(r.sock, state, 0);
    // SPS and PPS (aggregated), then an IDR slice of 4000 bytes (FU-A).
    bytes au = {0, 0, 0, 1,    0x67, 0x42, 0x00, 0x1e, 0x95, 0xa8, 0x28, 0x0f, 0x64, 0,
                0, 0, 1, 0x68, 0xce, 0x3c, 0x80, 0,    0,    0,    1,    0x65, 0x88, 0x84};
    au.resize(au.size() + 4000, 0x5A);
    ASSERT_EQ(video.push_frame(r.to4, r.to6, au.data(), au.size(), 0, k_ssrc), RTP_SUCCESS);
    write_pcap(pcap_, r.datagrams());
    // Columns 6-9: the NAL unit header types (the STAP-A's and those it
    // carries), the fragmented unit's type, and the FU start and end bits.
    const auto rows = dissect(pcap_, 106, "h264",
                              k_rtp_fields + " -e h264.nal_unit_hdr -e h264.nal_unit_type" +
                                  " -e h264.start.bit -e h264.end.bit");
    ASSERT_GE(rows.size(), 4u);  // STAP-A + at least 3 FUs
    expect_one_frame(rows, 106);
    ASSERT_GE(rows[0].size(), 7u);
    EXPECT_EQ(rows[0][6].rfind("24", 0), 0u) << "STAP-A: " << rows[0][6];
    EXPECT_NE(rows[0][6].find('7'), std::string::npos) << "with the SPS: " << rows[0][6];
    EXPECT_NE(rows[0][6].find('8'), std::string::npos) << "and the PPS: " << rows[0][6];
    for (size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_GE(rows[i].size(), 10u);
        EXPECT_EQ(rows[i][6], "28");  // FU-A
        EXPECT_EQ(rows[i][7], "5");   // of the IDR slice
        EXPECT_EQ(rows[i][8], i == 1 ? "1" : "0");
        EXPECT_EQ(rows[i][9], i + 1 == rows.size() ? "1" : "0");
    }
    expect_not_malformed();
}

// RFC 4588 retransmissions of H.264 FU-A packets, as the sending side of
// loss recovery answers a NACK: tshark reads them as RTP of the RTX payload
// type and SSRC, consecutive sequence numbers of their own, the original's
// timestamp and marker, and the OSN (the original sequence number) first in
// the payload, followed by the original payload.
TEST_F(TsharkDissects, RtxRetransmissionsOfFragmentedVideo) {
    recorder r;
    auto state = std::make_shared<rtp>(FMT_H264, make_shared_ssrc(k_ssrc), false);
    formats::h264 video(r.sock, state, 0);
    bytes au = {0, 0, 0, 1, 0x65, 0x88, 0x84};
    au.resize(au.size() + 6000, 0x5A);
    ASSERT_EQ(video.push_frame(r.to4, r.to6, au.data(), au.size(), 0, k_ssrc), RTP_SUCCESS);
    const std::vector<bytes> originals = r.datagrams();
    ASSERT_GE(originals.size(), 4u);
    std::vector<bytes> rtx;
    loss_recovery_sender::config c;
    c.limits.max_share_percent = 100;
    c.rtx_payload_type = 97;
    c.rtx_ssrc = 0x0BADCAFE;
    c.rtx_first_seq = 65535;
    loss_recovery_sender sender(c, [&rtx](uint8_t *data, size_t size) {
        rtx.emplace_back(data, data + size);
        return RTP_SUCCESS;
    });
    for (bytes o : originals) {
        buffer_vector pieces = {{o.size(), o.data()}};
        loss_recovery_sender::store_handler(&sender, pieces);
    }
    const auto seq_of = [](const bytes &p) { return static_cast<uint16_t>((p[2] << 8) | p[3]); };
    const std::vector<uint16_t> asked = {seq_of(originals[1]), seq_of(originals.back())};
    sender.on_nack(asked, loss_recovery_now_us(), 10'000);
    ASSERT_EQ(rtx.size(), 2u);
    write_pcap(pcap_, rtx);
    const auto rows = dissect(pcap_, 97, nullptr, k_rtp_fields + " -e rtp.payload");
    ASSERT_EQ(rows.size(), 2u);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_GE(rows[i].size(), 7u);
        const bytes &original = i == 0 ? originals[1] : originals.back();
        EXPECT_EQ(rows[i][0], "2");
        EXPECT_EQ(rows[i][1], "97");
        EXPECT_EQ(std::stol(rows[i][2]), i == 0 ? 65535 : 0) << "their own numbers, wrapping";
        EXPECT_EQ(std::stoul(rows[i][3]), (uint32_t{original[4]} << 24) |
                                              (uint32_t{original[5]} << 16) |
                                              (uint32_t{original[6]} << 8) | original[7]);
        EXPECT_EQ(rows[i][4], (original[1] & 0x80) ? "1" : "0");
        EXPECT_EQ(std::stoul(rows[i][5], nullptr, 16), 0x0BADCAFEu);
        // The payload as hex: the OSN, then the original payload (a FU-A).
        char osn[5];
        std::snprintf(osn, sizeof(osn), "%04x", asked[i]);
        std::string payload = rows[i][6];
        payload.erase(std::remove(payload.begin(), payload.end(), ':'), payload.end());
        EXPECT_EQ(payload.substr(0, 4), osn);
        std::string original_payload;
        for (size_t k = 12; k < original.size(); ++k) {
            char hex[3];
            std::snprintf(hex, sizeof(hex), "%02x", original[k]);
            original_payload += hex;
        }
        EXPECT_EQ(payload.substr(4), original_payload);
    }
    expect_not_malformed();
}

TEST_F(TsharkDissects, H265AggregationAndFragmentationUnits) {
    recorder r;
    auto state = std::make_shared<rtp>(FMT_H265, make_shared_ssrc(k_ssrc), false);
    formats::h265 video(r.sock, state, 0);
    // VPS, SPS, PPS (aggregated), then an IDR_W_RADL slice of 4000 bytes (FUs).
    bytes au = {0,    0,    0,    1,    0x40, 0x01, 0x0c, 0x01, 0xff, 0xff, 0,   0,
                0,    1,    0x42, 0x01, 0x01, 0x01, 0x60, 0,    0,    0,    1,   0x44,
                0x01, 0xc1, 0x72, 0xb4, 0,    0,    0,    1,    0x26, 0x01, 0xaf};
    au.resize(au.size() + 4000, 0x5A);
    ASSERT_EQ(video.push_frame(r.to4, r.to6, au.data(), au.size(), 0, k_ssrc), RTP_SUCCESS);
    write_pcap(pcap_, r.datagrams());
    const auto rows = dissect(pcap_, 107, "h265", k_rtp_fields + " -e h265.nal_unit_type");
    ASSERT_GE(rows.size(), 4u);
    expect_one_frame(rows, 107);
    ASSERT_GE(rows[0].size(), 7u);
    EXPECT_NE(rows[0][6].find("48"), std::string::npos) << "aggregation packet: " << rows[0][6];
    for (size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_GE(rows[i].size(), 7u);
        EXPECT_NE(rows[i][6].find("49"), std::string::npos) << "FU: " << rows[i][6];
    }
    expect_not_malformed();
}

// RTCP feedback as our RTCP object sends it (RFC 4585, RFC 5104): an early
// compound (empty RR, SDES CNAME, PLI), then a regular report carrying the
// feedback that waited for it: a NACK across the sequence number wrap, a
// PLI and a FIR.
TEST_F(TsharkDissects, RtcpFeedbackInCompoundPackets) {
    test::rtcp_fixture f(RCE_WITH_RTCP | RCE_RTCP_FEEDBACK);
    ASSERT_EQ(f.feed(test::rr_packet(test::k_peer_ssrc)), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_pli(test::k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_nack(test::k_peer_ssrc, {65534, 65535, 0, 1, 40}), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_pli(test::k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_fir(test::k_peer_ssrc), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);
    const std::vector<bytes> datagrams = f.transport->sent();
    ASSERT_EQ(datagrams.size(), 2u);
    write_pcap(pcap_, datagrams);

    const std::string output =
        run("tshark -r " + pcap_ + " -d udp.port==5004,rtcp -T fields -E separator=';'" +
            " -E aggregator=, -e rtcp.pt -e rtcp.rtpfb.fmt -e rtcp.psfb.fmt" +
            " -e rtcp.rtpfb.nack_pid -e rtcp.rtpfb.nack_blp -e rtcp.psfb.fir.fci.ssrc" +
            " -e rtcp.psfb.fir.fci.csn -e rtcp.mediassrc -e _ws.malformed 2>/dev/null");
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> row;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ';')) {
            row.push_back(cell);
        }
        row.resize(9);
        rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 2u) << output;
    EXPECT_EQ(rows[0][0], "201,202,206") << output;
    EXPECT_EQ(rows[0][2], "1");
    EXPECT_EQ(rows[1][0], "201,202,205,206,206") << output;
    EXPECT_EQ(rows[1][1], "1");
    EXPECT_EQ(rows[1][2], "1,4");
    // tshark lists every packet the NACK names (PID + i, not reduced modulo
    // 2^16): two entries, the first across the wrap.
    std::vector<unsigned long> lost;
    std::istringstream pids(rows[1][3]);
    for (std::string pid; std::getline(pids, pid, ',');) {
        lost.push_back(std::stoul(pid) % 65536);
    }
    EXPECT_EQ(lost, (std::vector<unsigned long>{65534, 65535, 0, 1, 40})) << rows[1][3];
    EXPECT_EQ(std::stoul(rows[1][4].substr(0, rows[1][4].find(',')), nullptr, 0), 0x0007u);
    EXPECT_EQ(std::stoul(rows[1][5], nullptr, 0), test::k_peer_ssrc);
    EXPECT_EQ(rows[1][6], "0");
    // Media source of the NACK and the PLI, then 0 for the FIR.
    EXPECT_EQ(rows[1][7], "0x11223344,0x11223344,0x00000000") << output;
    for (const auto &row : rows) {
        EXPECT_TRUE(row[8].empty()) << "malformed: " << output;
    }
    const std::string summary = run("tshark -r " + pcap_ + " -d udp.port==5004,rtcp 2>/dev/null");
    EXPECT_EQ(summary.find("Malformed"), std::string::npos) << summary;
    EXPECT_NE(summary.find("RTCP"), std::string::npos) << summary;
}

}  // namespace
