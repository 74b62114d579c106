// keysim against the world around it: a disk that fills up while a demo key
// is made, a shared /tmp where someone else made the state folder first, a
// FIFO where a certificate should be, and arguments of 100 kB.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/usbwatch.h"
#include "sim/token/keysim_testing.h"
#include "sim/token/keystore.h"

namespace {

using kpsim::testing::CommandResult;
using kpsim::testing::runKeysim;
using kpsim::testing::runProgram;
using kpsim::testing::SimulatedKeys;

// Runs a shell script in a mount namespace of its own, where it may mount a
// small tmpfs (a disk that fills up) or a private /tmp. A script that cannot
// mount exits 99.
CommandResult inPrivateMounts(const std::string& script, std::vector<std::string> args) {
    std::vector<std::string> argv{geteuid() == 0 ? "-m" : "-rm", "sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram("/usr/bin/unshare", argv);
}

// The build folder, which a private /tmp would hide when the checkout lives
// under /tmp (as a CI clone may).
std::string buildFolder() {
    return std::filesystem::path(kpsim::testing::keysimPath()).parent_path().parent_path().string();
}

// Mounts an empty /tmp in this (already private) mount namespace and binds the
// build folder back where it was, so the programs under test stay reachable.
// False when this system gives no private /tmp; a failure to bind the build
// folder back fails the test.
bool privateTmpKeepingBuild() {
    const std::string build = buildFolder();
    const int kept = ::open(build.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(kept, 0) << build;
    if (kept < 0 || ::mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0) {
        if (kept >= 0) ::close(kept);
        return false;
    }
    if (build.rfind("/tmp/", 0) == 0) {
        std::error_code ec;
        std::filesystem::create_directories(build, ec);
        const std::string source = "/proc/self/fd/" + std::to_string(kept);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(::mount(source.c_str(), build.c_str(), nullptr, MS_BIND, nullptr), 0) << build;
    }
    ::close(kept);
    return true;
}

bool hasLine(const std::string& out, const std::string& line) {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

TEST(KeysimWorld, DemoKeyOnAFillingDiskIsAllOrNothing) {
    SimulatedKeys keys;
    // Room for the state file, not for the ten PEM files of the demo key.
    const char* script = R"sh(
        D=$1 K=$2
        mount -t tmpfs -o size=512k tmpfs "$D" || exit 99
        export KEYSIM_DIR="$D/state"
        "$K" create seed || exit 98
        head -c $(( $(stat -f -c '%a * %S' "$D") - 16384 )) /dev/zero >"$D/filler" 2>/dev/null
        "$K" create --demo demo 2>"$D/err"; echo "first $?"
        echo "lines $(wc -l <"$D/err")"
        echo "listed $("$K" list | grep -c '^demo ')"
        echo "left $(ls -A "$D/state" | grep -c demo)"
        rm "$D/filler"
        "$K" create --demo demo; echo "retry $?"
        echo "files $(ls "$D/state/demo.demo" | wc -l)"
        echo "modes $(stat -c %a "$D/state/demo.demo"/*-key.pem | sort -u | tr '\n' ' ')"
    )sh";
    auto r = inPrivateMounts(script, {keys.dir(), kpsim::testing::keysimPath()});
    if (r.status == 99) GTEST_SKIP() << "no mount namespace here: " << r.err;
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(hasLine(r.out, "first 1")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "lines 1")) << r.out;
    // Nothing of the failed attempt is left: no key, no folder, no staging.
    EXPECT_TRUE(hasLine(r.out, "listed 0")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "left 0")) << r.out;
    // So the same command works once there is room.
    EXPECT_TRUE(hasLine(r.out, "retry 0")) << r.out << r.err;
    EXPECT_TRUE(hasLine(r.out, "files 10")) << r.out;
    // Private keys are for the user alone.
    EXPECT_TRUE(hasLine(r.out, "modes 600 ")) << r.out;
}

TEST(KeysimWorld, SharedFallbackFolderMustBeTheUsersAlone) {
    // /tmp/keysim-<uid> is used when neither KEYSIM_DIR nor XDG_RUNTIME_DIR
    // is set; anyone may have made it first. A private /tmp keeps the real one out of it.
    const char* script = R"sh(
        K=$1 B=$2
        exec 3<"$B"
        mount -t tmpfs tmpfs /tmp || exit 99
        # A checkout under /tmp: its build folder is bound back in.
        case "$B" in /tmp/*) mkdir -p "$B" && mount --no-canonicalize --bind /proc/self/fd/3 "$B" || exit 97 ;; esac
        exec 3<&-
        F=/tmp/keysim-$(id -u)
        try() { env -u KEYSIM_DIR -u XDG_RUNTIME_DIR "$K" list >/dev/null 2>/tmp/err
                echo "$1 $? $(wc -l </tmp/err) $(head -c 120 /tmp/err)"; }
        try absent
        mkdir -m 0777 "$F"; chmod 0777 "$F"; try world-writable; rmdir "$F"
        if [ "$(id -u)" = 0 ]; then
            mkdir -m 0700 "$F"; chown 65534 "$F"; try other-owner; rmdir "$F"
        else
            echo "other-owner 2 1 (not root: skipped)"
        fi
        mkdir -m 0700 /tmp/elsewhere; ln -s /tmp/elsewhere "$F"; try link; rm "$F"
        touch "$F"; try file; rm "$F"
        env -u KEYSIM_DIR -u XDG_RUNTIME_DIR "$K" create x; echo "create $? $(stat -c %a "$F")"
        try own
    )sh";
    auto r = inPrivateMounts(script, {kpsim::testing::keysimPath(), buildFolder()});
    if (r.status == 99) GTEST_SKIP() << "no mount namespace here: " << r.err;
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(hasLine(r.out, "absent 0 0 ")) << r.out;
    for (const char* refused : {"world-writable", "other-owner", "link", "file"})
        EXPECT_NE(r.out.find(std::string("\n") + refused + " 2 1 "), std::string::npos) << refused << ":\n"
                                                                                        << r.out;
    EXPECT_TRUE(hasLine(r.out, "create 0 700")) << r.out << r.err;
    EXPECT_TRUE(hasLine(r.out, "own 0 0 ")) << r.out;
}

// keysim is not the only reader of the state folder: the simulated library
// and the simulated bus refuse the shared folder too. The test runs itself
// again in a mount namespace with a private /tmp for that.
TEST(KeysimWorld, LibraryAndBusRefuseASharedFolderTheyDidNotMake) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string fallback = "/tmp/keysim-" + std::to_string(getuid());
    if (std::getenv("KPSIM_PRIVATE_TMP") == nullptr) {
        auto r = runProgram("/usr/bin/unshare",
                            {geteuid() == 0 ? "-m" : "-rm", "env", "-u", "KEYSIM_DIR", "-u",
                             "XDG_RUNTIME_DIR", "KPSIM_PRIVATE_TMP=1", "QD_USB_BACKEND=sim", self,
                             "--gtest_filter=KeysimWorld.LibraryAndBusRefuseASharedFolderTheyDidNotMake"});
        if (r.out.find("no private /tmp here") != std::string::npos) GTEST_SKIP() << r.out;
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
        return;
    }
    if (!privateTmpKeepingBuild()) GTEST_SKIP() << "no private /tmp here";
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(::mkdir(fallback.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(fallback.c_str(), 0777), 0);

    kpsim::State state;
    std::string error;
    EXPECT_FALSE(kpsim::Store::fromEnvironment().load(&state, &error));
    EXPECT_NE(error.find("of mode 0777"), std::string::npos) << error;
    EXPECT_FALSE(
        kpsim::Store::fromEnvironment().update([](kpsim::State&, std::string*) { return true; }, &error));
    EXPECT_FALSE(std::filesystem::exists(fallback + "/keys.json"));

    void* library = dlopen(kpsim::testing::libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using ListReaders = uint32_t (*)(char*, uint32_t*, uint32_t*);
    auto listReaders = reinterpret_cast<ListReaders>(dlsym(library, "KpListReaders"));
    ASSERT_NE(listReaders, nullptr);
    char names[64] = {};
    uint32_t len = sizeof names, count = 0;
    EXPECT_EQ(listReaders(names, &len, &count), kpsim::kStateError);
    dlclose(library);

    platform::UsbWatch bus(
        0xD449, 4, [](const platform::UsbDevice&) {}, [](const platform::UsbDevice&) {});
    EXPECT_FALSE(bus.run(&error));
    EXPECT_NE(error.find(fallback), std::string::npos) << error;
}

TEST(KeysimWorld, AFifoIsNoCertificateAndNothingWaitsForIt) {
    SimulatedKeys keys;
    keys.keysim({"create", "a"});
    const std::string fifo = keys.dir() + "/cert.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // No writer ever opens it: a keysim that waited would be stopped by timeout (124).
    auto r = runProgram("/usr/bin/timeout",
                        {"10", kpsim::testing::keysimPath(), "import", "a", "c", "sign", fifo});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "keysim: cannot read " + fifo + ": not a regular file\n");
    r = runKeysim({"import", "a", "c", "sign", "/dev/zero"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "keysim: cannot read /dev/zero: not a regular file\n");
}

TEST(KeysimWorld, ErrorLinesDoNotRepeatLongValues) {
    SimulatedKeys keys;
    keys.keysim({"create", "a"});
    const std::string huge(100000, 'x');
    const std::vector<std::vector<std::string>> commands = {
        {huge},
        {"show", huge},
        {"set", "a", "fault", huge},
        {"set", "a", huge, "1"},
        {"set", "a", "pcode", huge},
        {"import", "a", "c", huge, "f"},
        {"drop", "a", huge},
    };
    for (const auto& args : commands) {
        const std::string what = args[0].substr(0, 10) + " (" + std::to_string(args.size()) + " arguments)";
        auto r = runKeysim(args);
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what;
        EXPECT_LT(r.err.size(), 400u) << what << ": " << r.err.substr(0, 200);
        EXPECT_NE(r.err.find("(100000 bytes)"), std::string::npos) << what << ": " << r.err.substr(0, 200);
    }
}

}  // namespace
