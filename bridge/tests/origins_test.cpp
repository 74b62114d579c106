// The allow-list: which texts are origins, and which origins a list of files
// lets sign.
#include "bridge/host/origins.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/token/keysim_testing.h"

namespace {

using bridge::AllowList;
using bridge::parseOrigin;
using kpsim::testing::ScopedEnv;

struct OriginCase {
    const char* text;
    const char* canonical;  // null: not an origin
    const char* why = "";   // part of the reason given
};

class OriginTexts : public ::testing::TestWithParam<OriginCase> {};

TEST_P(OriginTexts, ParseToTheBrowsersFormOrAreRefusedWithAReason) {
    const auto& c = GetParam();
    std::string why;
    const auto origin = parseOrigin(c.text, &why);
    if (c.canonical == nullptr) {
        EXPECT_FALSE(origin) << c.text << " -> " << (origin ? origin->text() : "");
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
    } else {
        ASSERT_TRUE(origin) << c.text << ": " << why;
        EXPECT_EQ(origin->text(), c.canonical);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OriginTexts,
    ::testing::Values(
        OriginCase{"https://bank.example", "https://bank.example"},
        OriginCase{"HTTPS://Bank.EXAMPLE", "https://bank.example"},
        OriginCase{"https://bank.example/", "https://bank.example"},
        OriginCase{"https://bank.example:443", "https://bank.example"},
        OriginCase{"https://bank.example:8443/", "https://bank.example:8443"},
        OriginCase{"https://127.0.0.1:1", "https://127.0.0.1:1"},
        OriginCase{"https://xn--fiqs8s.example:65535", "https://xn--fiqs8s.example:65535"},
        OriginCase{"https://[::1]:8443", "https://[::1]:8443"}, OriginCase{"https://[::1]", "https://[::1]"},
        OriginCase{"http://bank.example", nullptr, "only https"},
        OriginCase{"HTTP://bank.example", nullptr, "only https"},
        OriginCase{"ftp://bank.example", nullptr, "not an https origin"},
        OriginCase{"bank.example", nullptr, "not an https origin"},
        OriginCase{"", nullptr, "not an https origin"}, OriginCase{"https://", nullptr, "host"},
        OriginCase{"https:///", nullptr, "host"}, OriginCase{"https://bank.example//", nullptr, "path"},
        OriginCase{"https://bank.example/login", nullptr, "path"},
        OriginCase{"https://bank.example?x=1", nullptr, "query"},
        OriginCase{"https://bank.example#top", nullptr, "fragment"},
        OriginCase{"https://me@bank.example", nullptr, "user info"},
        OriginCase{"https://bank.example:", nullptr, "port"},
        OriginCase{"https://bank.example:0", nullptr, "port"},
        OriginCase{"https://bank.example:65536", nullptr, "port"},
        OriginCase{"https://bank.example:123456", nullptr, "port"},
        OriginCase{"https://bank.example:+443", nullptr, "port"},
        OriginCase{"https://bank.example:44a", nullptr, "port"},
        OriginCase{"https://bank example", nullptr, "host"},
        OriginCase{"https://bank.example\n", nullptr, "host"}, OriginCase{"https://[::1", nullptr, "bracket"},
        OriginCase{"https://[::1]x", nullptr, "after the IPv6"},
        OriginCase{"https://[zz]", nullptr, "host"}));

class AllowListFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("allowlist-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& text) {
        const auto path = (dir_ / name).string();
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << text;
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(AllowListFiles, OnlyTheListedOriginsMaySign) {
    const auto system =
        write("system", "# the bank\n  https://Bank.Example/  \n\nhttps://sign.bank.example:8443\n");
    const auto user = write("user", "http://plain.example\nhttps://mine.example/path\nhttps://[::1]:9000\n");
    const AllowList list({system, user});
    const std::vector<std::pair<const char*, bool>> cases = {
        {"https://bank.example", true},
        {"https://BANK.example", true},
        {"https://bank.example/", true},
        {"https://bank.example:443", true},
        {"https://sign.bank.example:8443", true},
        {"https://[::1]:9000", true},          // from the second file
        {"https://sign.bank.example", false},  // the listed port only
        {"https://bank.example:8443", false},
        {"https://www.bank.example", false},           // no subdomains
        {"https://bank.example.evil.example", false},  // no prefixes
        {"https://ank.example", false},                // no suffixes
        {"http://bank.example", false},
        {"http://plain.example", false},  // an http line allows nothing
        {"https://plain.example", false},
        {"https://mine.example", false},  // nor does a line with a path
        {"https://[::1]", false},
        {"null", false},
    };
    for (const auto& [origin, allowed] : cases) EXPECT_EQ(list.decide(origin).allowed, allowed) << origin;
}

TEST_F(AllowListFiles, InvalidLinesAreKeptWithTheirReasonAndPlace) {
    const auto file = write("list", "# comment\nhttps://ok.example\n\n  http://plain.example  \n");
    const auto entries = AllowList({file, (dir_ / "missing").string()}).entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].line, 2);
    ASSERT_TRUE(entries[0].origin);
    EXPECT_EQ(entries[1].line, 4);
    EXPECT_EQ(entries[1].text, "http://plain.example");
    EXPECT_EQ(entries[1].file, file);
    EXPECT_FALSE(entries[1].origin);
    EXPECT_NE(entries[1].why.find("only https"), std::string::npos);
}

// A user's list that is a FIFO, a folder or far too large allows nothing and
// is reported, while the other file still counts; reading a FIFO as a file
// would hang every request of the page.
TEST_F(AllowListFiles, AListThatIsNoSmallFileAllowsNothingAndSaysWhy) {
    const auto system = write("system", "https://bank.example\n");
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = (dir_ / "folder").string();
    std::filesystem::create_directories(folder);
    const auto huge = write("huge", "https://huge.example\n" + std::string(64 * 1024, '#'));
    const auto fits = write("fits", "https://fits.example\n" + std::string(64 * 1024 - 21, '#'));
    const std::vector<std::pair<std::string, const char*>> cases = {
        {fifo, "not a regular file"}, {folder, "Is a directory"}, {huge, "larger than 65536 bytes"}};
    for (const auto& [user, why] : cases) {
        const AllowList list({system, user});
        const auto entries = list.entries();
        ASSERT_EQ(entries.size(), 2u) << user;
        EXPECT_EQ(entries[1].file, user);
        EXPECT_EQ(entries[1].line, 0);
        EXPECT_FALSE(entries[1].origin);
        EXPECT_EQ(entries[1].why, "cannot read " + user + ": " + why);
        EXPECT_TRUE(list.decide("https://bank.example").allowed) << user;
        EXPECT_FALSE(list.decide("https://huge.example").allowed) << user;
    }
    // The largest list read.
    EXPECT_TRUE(AllowList({system, fits}).decide("https://fits.example").allowed);
}

// Any site reads the page's refusal: it names the origin and nothing of this
// machine. The files to add it to go to this machine's diagnostics.
TEST_F(AllowListFiles, ARefusalTellsThePageTheOriginAndTheMachineBothFiles) {
    ScopedEnv system("QD_BRIDGE_SYSTEM_ORIGINS", (dir_ / "etc-list").string());
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "config").string());
    const auto decision = AllowList().decide("https://Other.Example:8443/");
    EXPECT_FALSE(decision.allowed);
    EXPECT_EQ(decision.origin, "https://other.example:8443");
    EXPECT_EQ(decision.refusal,
              "origin https://other.example:8443 is not allowed to use the signing service");
    EXPECT_EQ(
        decision.detail,
        "origin https://other.example:8443 is not allowed to use the signing service; to allow it, add the "
        "line https://other.example:8443 to " +
            (dir_ / "etc-list").string() + " (every user) or " +
            (dir_ / "config/ombrel-bridge/allowed-origins").string() + " (this user)");

    const auto http = AllowList().decide("http://other.example");
    EXPECT_FALSE(http.allowed);
    EXPECT_NE(http.refusal.find("\"http://other.example\""), std::string::npos) << http.refusal;
    EXPECT_NE(http.refusal.find("only https"), std::string::npos) << http.refusal;

    const auto huge = AllowList().decide("http://" + std::string(100000, 'a'));
    EXPECT_LT(huge.refusal.size(), 400u) << "a page's long text is cut in the refusal";
}

// A list that someone else could have written allows nothing, as sshd's
// strict modes judge authorized_keys: the file and every folder on its path,
// as named and as its links resolve. The other list still counts, and the
// machine's diagnostics say why the list was passed over.
TEST_F(AllowListFiles, AListOthersCouldWriteAllowsNothingAndSaysWhy) {
    const auto system = write("system", "https://bank.example\n");
    const auto safe = write("safe/list", "https://mine.example\n");
    struct Case {
        const char* what;
        std::function<std::string()> make;  // the user's list, made unsafe
        std::string why;                    // after "LIST is not trusted: "
        bool chowns = false;                // gives a file away: only root can
    };
    auto list = [this](const std::string& name, mode_t mode) {
        const auto path = write(name, "https://mine.example\n");
        ::chmod(path.c_str(), mode);
        return path;
    };
    auto folder = [this](const std::string& name, mode_t mode) {
        std::filesystem::create_directories(dir_ / name);
        ::chmod((dir_ / name).c_str(), mode);
        return (dir_ / name).string();
    };
    const std::string d = dir_.string();
    const std::vector<Case> cases = {
        {"a file anyone may write", [&] { return list("anyone", 0666); },
         "the file " + d + "/anyone can be written by others (mode 0666)"},
        {"a file its group may write", [&] { return list("group", 0620); },
         "the file " + d + "/group can be written by its group (mode 0620)"},
        {"a file in a folder anyone may write",
         [&] {
             folder("open", 0777);
             return list("open/list", 0644);
         },
         "the folder " + d + "/open can be written by others (mode 0777)"},
        {"a file in a folder its group may write",
         [&] {
             folder("shared", 0775);
             return list("shared/list", 0644);
         },
         "the folder " + d + "/shared can be written by its group (mode 0775)"},
        {"a file of another user's",
         [&] {
             const auto path = list("theirs", 0644);
             EXPECT_EQ(::chown(path.c_str(), 4321, 4321), 0);
             return path;
         },
         "the file " + d + "/theirs belongs to uid 4321, neither root nor this user", true},
        {"a file in another user's folder with the sticky bit",
         [&] {
             const auto sticky = folder("sticky", 01777);
             EXPECT_EQ(::chown(sticky.c_str(), 4321, 4321), 0);
             return list("sticky/list", 0644);
         },
         "the folder " + d + "/sticky belongs to uid 4321, neither root nor this user", true},
        {"a link, in a safe folder, to a file in a folder anyone may write",
         [&] {
             folder("open2", 0777);
             const auto target = list("open2/list", 0644);
             std::filesystem::create_symlink(target, dir_ / "safe/link");
             return (dir_ / "safe/link").string();
         },
         "the folder " + d + "/open2 can be written by others (mode 0777)"},
        {"a link, in a folder anyone may write, to a safe file",
         [&] {
             folder("open3", 0777);
             std::filesystem::create_symlink(safe, dir_ / "open3/link");
             return (dir_ / "open3/link").string();
         },
         "the folder " + d + "/open3 can be written by others (mode 0777)"},
    };
    for (const auto& c : cases) {
        if (c.chowns && ::geteuid() != 0) continue;
        const std::string user = c.make();
        const AllowList both({system, user});
        EXPECT_FALSE(both.decide("https://mine.example").allowed) << c.what;
        EXPECT_TRUE(both.decide("https://bank.example").allowed) << c.what;
        const auto entries = both.entries();
        ASSERT_EQ(entries.size(), 2u) << c.what;
        EXPECT_EQ(entries[1].line, 0) << c.what;
        EXPECT_EQ(entries[1].why, user + " is not trusted: " + c.why) << c.what;
        EXPECT_NE(both.decide("https://mine.example").detail.find(entries[1].why), std::string::npos)
            << c.what;
    }
    // What is safe is read: root's sticky /tmp above a private folder, a
    // link in a safe folder to a safe file.
    EXPECT_TRUE(AllowList({safe}).decide("https://mine.example").allowed);
    std::filesystem::create_symlink(safe, dir_ / "safe/good-link");
    EXPECT_TRUE(AllowList({(dir_ / "safe/good-link").string()}).decide("https://mine.example").allowed);

    // Root's lists are every user's: a user who is not root trusts them (the
    // system list in /etc), and not another user's.
    if (::geteuid() != 0) return;
    const auto theirs = write("safe/theirs", "https://theirs.example\n");
    ASSERT_EQ(::chown(theirs.c_str(), 4322, 4322), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const bool trusted = ::seteuid(4321) == 0 &&
                             AllowList({safe}).decide("https://mine.example").allowed &&
                             !AllowList({theirs}).decide("https://theirs.example").allowed;
        ::_exit(trusted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "as uid 4321, a list of root's is trusted";
}

TEST_F(AllowListFiles, ThePerUserFileFollowsXdgConfigHomeElseHome) {
    ScopedEnv home("HOME", (dir_ / "home").string());
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "xdg").string());
        EXPECT_EQ(bridge::userAllowList(), (dir_ / "xdg/ombrel-bridge/allowed-origins").string());
    }
    ScopedEnv relative("XDG_CONFIG_HOME", "relative/dir");  // not absolute: ignored, as the XDG rules say
    EXPECT_EQ(bridge::userAllowList(), (dir_ / "home/.config/ombrel-bridge/allowed-origins").string());
    ScopedEnv unset("QD_BRIDGE_SYSTEM_ORIGINS", "");
    EXPECT_EQ(bridge::systemAllowList(), "/etc/ombrel-bridge/allowed-origins");
}

TEST_F(AllowListFiles, TheFilesAreReadAgainForEveryDecision) {
    const auto file = write("list", "https://bank.example\n");
    const AllowList list({file});
    EXPECT_TRUE(list.decide("https://bank.example").allowed);
    write("list", "# removed\n");
    EXPECT_FALSE(list.decide("https://bank.example").allowed);
    write("list", "https://bank.example:443/\n");
    EXPECT_TRUE(list.decide("https://bank.example").allowed);
}

}  // namespace
