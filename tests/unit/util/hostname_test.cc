#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/stderr_capture.hh"
#include "util/hostname.hh"

using tessal::test::stderr_capture;
namespace hostname = tessal::hostname;

namespace {

const std::string k_error = "ERROR";

// What the fake platform answers; one case at a time.
struct fake_platform {
    int login_rc;  // 0: `login` is the login name
    const char *login;
    int user_rc;  // 0: `user` is the effective user's name
    const char *user;
    const char *user_env;  // $USER, or null when unset
    int user_calls;
    std::string env_asked;
};
fake_platform g_fake;

int copy_name(const char *name, char *buf, size_t size) {
    if (std::strlen(name) >= size) {
        return ERANGE;
    }
    std::strcpy(buf, name);
    return 0;
}

int fake_login(char *buf, size_t size) {
    return g_fake.login_rc != 0 ? g_fake.login_rc : copy_name(g_fake.login, buf, size);
}

int fake_user(char *buf, size_t size) {
    ++g_fake.user_calls;
    return g_fake.user_rc != 0 ? g_fake.user_rc : copy_name(g_fake.user, buf, size);
}

const char *fake_env(const char *name) {
    g_fake.env_asked = name;
    return g_fake.user_env;
}

const hostname::user_name_sources k_fake{fake_login, fake_user, fake_env};

TEST(Username, LoginNameThenEffectiveUserThenEnvironment) {
    struct Case {
        const char *name;
        fake_platform platform;
        std::string expected;
        int expected_user_calls;
        std::string expected_env_asked;
    } cases[] = {
        {"login name", {0, "alice", 0, "bob", "carol", 0, ""}, "alice", 0, ""},
        {"no login terminal: effective user",
         {ENXIO, nullptr, 0, "bob", "carol", 0, ""},
         "bob",
         1,
         ""},
        {"empty login name counts as none", {0, "", 0, "bob", "carol", 0, ""}, "bob", 1, ""},
        {"no passwd entry: $USER",
         {ENOTTY, nullptr, ENOENT, nullptr, "carol", 0, ""},
         "carol",
         1,
         "USER"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_fake = c.platform;
        stderr_capture cap;
        const std::string name = hostname::get_username(k_fake);
        EXPECT_EQ(cap.stop(), "");  // a name was found: no ERROR line
        EXPECT_EQ(name, c.expected);
        EXPECT_EQ(g_fake.user_calls, c.expected_user_calls);
        EXPECT_EQ(g_fake.env_asked, c.expected_env_asked);
    }
}

TEST(Username, NoNameAnywhereLogsOneErrorAndReturnsEmpty) {
    struct Case {
        const char *name;
        const char *user_env;
    } cases[] = {
        {"$USER unset", nullptr},
        {"$USER empty", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_fake = fake_platform{ENXIO, nullptr, ENOENT, nullptr, c.user_env, 0, ""};
        stderr_capture cap;
        const std::string name = hostname::get_username(k_fake);
        // The login failure's error text, as before the fallbacks existed.
        EXPECT_EQ(cap.stop(),
                  "[Tessal][" + k_error + "][::get_username] " + std::strerror(ENXIO) + "\n");
        EXPECT_EQ(name, "");
        EXPECT_EQ(g_fake.env_asked, "USER");
    }
}

// Under ctest there is no login terminal, so getlogin_r fails here as it does
// in services, containers and CI; the user is still known.
TEST(Username, WithoutLoginTerminalRealNameAndNoErrorLine) {
    char login[512] = {};
    const bool has_login = ::getlogin_r(login, sizeof(login) - 1) == 0 && login[0] != '\0';
    stderr_capture cap;
    const std::string name = hostname::get_username();
    EXPECT_EQ(cap.stop(), "");
    EXPECT_FALSE(name.empty());
    const passwd *entry = ::getpwuid(::geteuid());
    if (!has_login && entry != nullptr) {
        EXPECT_EQ(name, entry->pw_name);
    }
}

}  // namespace
