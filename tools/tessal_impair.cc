// tessal-impair: a UDP relay on loopback that loses, reorders, duplicates,
// delays, corrupts, truncates and rate-limits datagrams between two
// endpoints, reproducibly from a seed, and prints what it did.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cli.hh"
#include "impair/relay.hh"

using namespace tessal_tools;

namespace {

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: tessal-impair --to-a PORT --to-b PORT [options]\n"
                 "  A sends to --port-a and B to --port-b; each is relayed to the other.\n"
                 "  --port-a PORT, --port-b PORT  where the relay listens (default: free ports)\n"
                 "  --to-a PORT, --to-b PORT      the endpoints' ports (0: answer the sender)\n"
                 "  --rtcp-pair                   also relay port + 1 (RTCP on the next port)\n"
                 "  --ipv6                        ::1 instead of 127.0.0.1\n"
                 "  --seed N                      decisions are reproducible from N (default 1)\n"
                 "  --duration SECONDS            stop after this long (default: until SIGINT)\n"
                 "  --report SECONDS              also print the counts this often\n"
                 "  --dir ab|ba|both              which direction the next options change\n"
                 "                                (default both)\n"
                 "  --loss F                      independent loss (0.01 or 1%%)\n"
                 "  --burst P,R[,LG,LB]           Gilbert-Elliott: good->bad P, bad->good R,\n"
                 "                                loss in good LG (0), in bad LB (1)\n"
                 "  --reorder F --reorder-delay MS  hold back a fraction F by MS (10)\n"
                 "  --dup F                       send a fraction twice\n"
                 "  --delay MS --jitter MS        delay every datagram, plus uniform jitter\n"
                 "  --corrupt F                   flip one bit in a fraction\n"
                 "  --truncate F                  cut a fraction short\n"
                 "  --rate KBIT --queue BYTES     rate limit behind a tail-drop queue (64 KiB)\n");
}

struct options {
    relay_config relay;
    unsigned long long duration_s = 0;
    unsigned long long report_s = 0;
};

bool parse_ms(const char *text, int64_t *out_us) {
    unsigned long long ms = 0;
    if (!parse_number(text, 0, 3600000, &ms)) {
        return false;
    }
    *out_us = static_cast<int64_t>(ms) * 1000;
    return true;
}

bool parse_burst(const char *text, impairment_config &c) {
    double v[4] = {0, 1, 0, 1};
    int n = 0;
    std::string s(text);
    size_t start = 0;
    while (n < 4) {
        const size_t comma = s.find(',', start);
        const std::string part =
            s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!parse_fraction(part.c_str(), &v[n++])) {
            return false;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (n < 2) {
        return false;
    }
    c.ge_p = v[0];
    c.ge_r = v[1];
    c.ge_loss_good = v[2];
    c.ge_loss_bad = v[3];
    return true;
}

// The current impairment option with value `v` applied to `c`; false on a
// bad value.
bool apply_impairment(arg_reader &args, const char *v, impairment_config &c) {
    unsigned long long n = 0;
    bool ok = true;
    if (args.is("--loss")) {
        ok = parse_fraction(v, &c.loss);
    } else if (args.is("--burst")) {
        ok = parse_burst(v, c);
    } else if (args.is("--reorder")) {
        ok = parse_fraction(v, &c.reorder);
    } else if (args.is("--reorder-delay")) {
        ok = parse_ms(v, &c.reorder_delay_us);
    } else if (args.is("--dup")) {
        ok = parse_fraction(v, &c.duplicate);
    } else if (args.is("--delay")) {
        ok = parse_ms(v, &c.delay_us);
    } else if (args.is("--jitter")) {
        ok = parse_ms(v, &c.jitter_us);
    } else if (args.is("--corrupt")) {
        ok = parse_fraction(v, &c.corrupt);
    } else if (args.is("--truncate")) {
        ok = parse_fraction(v, &c.truncate);
    } else if (args.is("--rate")) {
        ok = parse_number(v, 1, 100000000, &n);
        c.rate_bps = n * 1000;
    } else if (args.is("--queue")) {
        ok = parse_number(v, 1, 1ull << 30, &n);
        c.queue_bytes = static_cast<size_t>(n);
    }
    return ok || args.fail((std::string("bad value ") + v).c_str());
}

bool is_impairment(arg_reader &args) {
    static const char *names[] = {"--loss",     "--burst", "--reorder", "--reorder-delay",
                                  "--dup",      "--delay", "--jitter",  "--corrupt",
                                  "--truncate", "--rate",  "--queue"};
    for (const char *name : names) {
        if (args.is(name)) {
            return true;
        }
    }
    return false;
}

bool parse(int argc, char **argv, options &o) {
    arg_reader args("tessal-impair", argc, argv);
    bool ab = true;
    bool ba = true;
    unsigned long long n = 0;
    while (args.next()) {
        if (is_impairment(args)) {
            const char *v = args.value();
            if (v == nullptr || (ab && !apply_impairment(args, v, o.relay.a_to_b)) ||
                (ba && !apply_impairment(args, v, o.relay.b_to_a))) {
                return false;
            }
            continue;
        }
        const char *v = nullptr;
        if (args.is("--rtcp-pair")) {
            o.relay.rtcp_pair = true;
        } else if (args.is("--ipv6")) {
            o.relay.ipv6 = true;
        } else if (args.is("-h") || args.is("--help")) {
            usage(stdout);
            std::exit(0);
        } else if ((v = args.value()) == nullptr) {
            return false;
        } else if (args.is("--port-a") || args.is("--port-b") || args.is("--to-a") ||
                   args.is("--to-b")) {
            if (!parse_number(v, 0, 65535, &n)) {
                return args.fail((std::string("bad port ") + v).c_str());
            }
            uint16_t &port = args.is("--port-a")   ? o.relay.port_a
                             : args.is("--port-b") ? o.relay.port_b
                             : args.is("--to-a")   ? o.relay.to_a
                                                   : o.relay.to_b;
            port = static_cast<uint16_t>(n);
        } else if (args.is("--seed")) {
            if (!parse_number(v, 0, ~0ull, &n)) {
                return args.fail("bad seed");
            }
            o.relay.seed = n;
        } else if (args.is("--duration") || args.is("--report")) {
            if (!parse_number(v, 1, 1000000, &n)) {
                return args.fail((std::string("bad number of seconds ") + v).c_str());
            }
            (args.is("--duration") ? o.duration_s : o.report_s) = n;
        } else if (args.is("--dir")) {
            const std::string d(v);
            if (d != "ab" && d != "ba" && d != "both") {
                return args.fail("--dir takes ab, ba or both");
            }
            ab = d != "ba";
            ba = d != "ab";
        } else {
            return args.fail((std::string("unknown option ") + args.word()).c_str());
        }
    }
    return true;
}

void report(const impair_relay &relay, bool pair) {
    static const char *dirs[] = {"A->B", "B->A"};
    for (int dir = 0; dir < 2; ++dir) {
        for (int ch = 0; ch < (pair ? 2 : 1); ++ch) {
            const impairment_counts c = relay.counts(static_cast<relay_direction>(dir), ch);
            std::printf("%s %s: %s\n", dirs[dir], ch == 0 ? "rtp " : "rtcp",
                        format_counts(c).c_str());
        }
    }
    std::printf("kernel-dropped %llu\n", static_cast<unsigned long long>(relay.kernel_dropped()));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    stop_on_signals();
    impair_relay relay;
    std::string error;
    if (!relay.start(o.relay, &error)) {
        std::fprintf(stderr, "tessal-impair: %s\n", error.c_str());
        return 2;
    }
    std::printf("tessal-impair: A sends to port %u, B sends to port %u%s, seed %llu\n",
                static_cast<unsigned>(relay.port_a()), static_cast<unsigned>(relay.port_b()),
                o.relay.rtcp_pair ? " (and the next ports)" : "",
                static_cast<unsigned long long>(o.relay.seed));
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    auto next_report = start + std::chrono::seconds(o.report_s);
    while (!interrupted()) {
        const auto now = std::chrono::steady_clock::now();
        if (o.duration_s != 0 && now - start >= std::chrono::seconds(o.duration_s)) {
            break;
        }
        if (o.report_s != 0 && now >= next_report) {
            report(relay, o.relay.rtcp_pair);
            next_report += std::chrono::seconds(o.report_s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    relay.stop();
    report(relay, o.relay.rtcp_pair);
    return 0;
}
