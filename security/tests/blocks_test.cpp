// Building blocks of the formats: hex conversion, the random source, and the
// checks of encryptStandard, encryptDesKey and encryptServerRand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "security/security.h"
#include "security/secutil.h"
#include "test_util.h"

namespace {

std::string stderrOf(const std::function<void()>& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

namespace fs = std::filesystem;

// Descriptors of this process open on `file` (after resolving links).
std::vector<int> descriptorsOn(const fs::path& file) {
    std::vector<int> fds;
    const fs::path target = fs::canonical(file);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const fs::path link = fs::read_symlink(entry.path(), ec);
        if (!ec && link == target) fds.push_back(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

// A private folder for the random source's stand-ins.
struct SourceFolder {
    SourceFolder() {
        char pattern[] = "/tmp/random-source-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    ~SourceFolder() {
        secutil::setRandomSourceForTesting(nullptr);
        fs::remove_all(dir);
    }
    std::string file(const char* name, const std::string& content) const {
        const std::string path = (dir / name).string();
        std::ofstream(path) << content;
        return path;
    }
    fs::path dir;
};

const std::string kModulus33 = "C1" + std::string(62, 'F') + "03";  // 33 bytes, odd
const std::string kModulus32 = std::string(62, 'F') + "03";         // 32 bytes

}  // namespace

TEST(Hex2Byte, ConvertsPairsAndStopsAtTheFirstBadPair) {
    struct Case {
        const char* text;
        int length;
        const char* expect;  // hex of the 6-byte buffer afterwards (starts as AA..)
    } cases[] = {
        {"00aB0f", 6, "00AB0F00AAAA"},
        {"1234", 3, "1200AAAAAAAA"},   // odd final digit ignored, terminator at length / 2
        {"G1234", 5, "AAAAAAAAAAAA"},  // bad first pair: nothing written at all
        {"12G4", 4, "12AAAAAAAAAA"},   // bad second pair: only out[0]
        {"1", 1, "00AAAAAAAAAA"},      // below two characters: only out[0] = 0
        {"", 0, "00AAAAAAAAAA"},
        {"12", -4, "00AAAAAAAAAA"},  // a negative length never writes before out
        {"12", 10, "12AAAAAAAAAA"},  // stops at the terminator, never reads past it
    };
    for (const auto& c : cases) {
        unsigned char buf[6];
        std::memset(buf, 0xAA, sizeof buf);
        hex2Byte(c.text, c.length, buf);
        EXPECT_EQ(sectest::hex(buf, sizeof buf), c.expect) << c.text << " / " << c.length;
    }
    hex2Byte("1234", 4, nullptr);  // nothing happens
}

TEST(Data2HexString, UpperCaseTwoDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x0F};
    char* s = data2HEXString(bytes, 3);
    EXPECT_STREQ(s, "00AB0F");
    std::free(s);
    s = data2HEXString(bytes, 0);
    EXPECT_STREQ(s, "");
    std::free(s);
    EXPECT_EQ(data2HEXString(nullptr, 4), nullptr);
}

TEST(FixedAnswers, DegreeAndErrorMessage) {
    EXPECT_EQ(getDegree(0, nullptr), 83);
    EXPECT_EQ(getDegree(-7, "anything"), 83);
    EXPECT_EQ(getErrorMessage(0), nullptr);
    EXPECT_EQ(getErrorMessage(12345), nullptr);
}

TEST(GenerateRandom, ReadsTheSourceAndReportsFailures) {
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_EQ(generateRandom(a, 32), 1);
    ASSERT_EQ(generateRandom(b, 32), 1);
    EXPECT_NE(sectest::hex(a, 32), sectest::hex(b, 32));
    EXPECT_EQ(generateRandom(a, 0), 1);

    secutil::setRandomSourceForTesting("/nonexistent/random");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(generateRandom(a, 8), 0); }), "Opening /dev/urandom failed!\n");
    secutil::setRandomSourceForTesting("/");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(generateRandom(a, 8), 0); }), "Reading /dev/urandom failed!\n");
    secutil::setRandomSourceForTesting(nullptr);
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(generateRandom(a, -1), 0); }), "Reading /dev/urandom failed!\n");
}

// Opened once per process: later calls read the same descriptor, even after
// the name they opened is gone.
TEST(GenerateRandom, OpensTheSourceOnceForAllThreads) {
    SourceFolder folder;
    const std::string link = (folder.dir / "urandom").string();
    fs::create_symlink("/dev/urandom", link);
    secutil::setRandomSourceForTesting(link.c_str());
    const size_t before = descriptorsOn("/dev/urandom").size();

    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&ok, t] {
            unsigned char bytes[16];
            for (int i = 0; i < 50; ++i) ok[static_cast<size_t>(t)] += generateRandom(bytes, sizeof bytes);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ok, std::vector<int>(8, 50));
    EXPECT_EQ(descriptorsOn("/dev/urandom").size(), before + 1) << "one descriptor, kept open";

    fs::remove(link);
    unsigned char a[32] = {}, b[32] = {};
    EXPECT_EQ(stderrOf([&] {
                  EXPECT_EQ(generateRandom(a, 32), 1);
                  EXPECT_EQ(generateRandom(b, 32), 1);
              }),
              "");
    EXPECT_NE(sectest::hex(a, 32), sectest::hex(b, 32));
}

TEST(GenerateRandom, FailedOpenIsTriedAgainAtTheNextCall) {
    SourceFolder folder;
    const std::string path = (folder.dir / "later").string();
    secutil::setRandomSourceForTesting(path.c_str());
    unsigned char bytes[4] = {};
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(generateRandom(bytes, 4), 0); }), "Opening /dev/urandom failed!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(generateRandom(bytes, 4), 0); }), "Opening /dev/urandom failed!\n");
    folder.file("later", "WXYZ");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(generateRandom(bytes, 4), 1); }), "");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "WXYZ");
}

// A program started without standard input gets descriptor 0 for the file:
// it is kept like any other.
TEST(GenerateRandom, SourceOpenedAsDescriptorZeroIsKept) {
    SourceFolder folder;
    const int savedStdin = ::dup(0);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    secutil::setRandomSourceForTesting("/dev/urandom");
    unsigned char bytes[8];
    int ok = 0;
    for (int i = 0; i < 20; ++i) ok += generateRandom(bytes, sizeof bytes);
    const std::vector<int> fds = descriptorsOn("/dev/urandom");
    secutil::setRandomSourceForTesting(nullptr);  // closes it
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    EXPECT_EQ(ok, 20);
    EXPECT_EQ(fds, std::vector<int>{0}) << "opened again for each call";
}

// A host that closes the library's descriptor and opens another file under
// the same number must not have the library read that file.
TEST(GenerateRandom, DescriptorClosedBehindItsBackIsNotReadAgain) {
    SourceFolder folder;
    const std::string source = folder.file("source", std::string(64, 'R'));
    const std::string other = folder.file("other", std::string(64, 'X'));
    secutil::setRandomSourceForTesting(source.c_str());
    unsigned char bytes[8] = {};
    ASSERT_EQ(generateRandom(bytes, 8), 1);
    const std::vector<int> fds = descriptorsOn(source);
    ASSERT_EQ(fds.size(), 1u);
    ::close(fds[0]);
    const int reused = ::open(other.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(reused, fds[0]) << "the number was not reused; the case needs it";
    ASSERT_EQ(generateRandom(bytes, 8), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 8), "RRRRRRRR");
    char next = 0;
    EXPECT_EQ(::read(reused, &next, 1), 1);  // the other file was not touched
    EXPECT_EQ(next, 'X');

    // Nor is it closed when the source is changed while the number is reused.
    const std::vector<int> again = descriptorsOn(source);
    ASSERT_EQ(again.size(), 1u);
    ::close(again[0]);
    const int other2 = ::open(other.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(other2, again[0]) << "the number was not reused; the case needs it";
    secutil::setRandomSourceForTesting(nullptr);
    EXPECT_NE(::fcntl(other2, F_GETFD), -1) << "the library closed a descriptor that was not its own";
    ::close(other2);
    ::close(reused);
}

TEST(EncryptStandard, ChecksInOrder) {
    char* out = nullptr;
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptStandard(nullptr, nullptr, nullptr, nullptr), 0); }),
              "The timestamp does not exist!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptStandard(nullptr, "1", nullptr, nullptr), 0); }),
              "The input text does not exist!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptStandard(nullptr, "1", "t", nullptr), 0); }),
              "You must supply a out pointer to retrieve the ciphered text!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptStandard(nullptr, "1", "t", &out), 0); }),
              "You must initialize the library first!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptStandard("", "1", "t", &out), 0); }),
              "Importing the RSA public key 's modulus failed!\n");
    // A 26-byte modulus has no room for 16 key bytes plus 11 of PKCS#1 padding.
    EXPECT_EQ(stderrOf([&] {
                  EXPECT_EQ(
                      encryptStandard("C1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF3", "1", "t", &out),
                      0);
              }),
              "RSA public encryption failed!\n");
    EXPECT_EQ(out, nullptr);
}

TEST(EncryptDesKey, ChecksAndTheSmallestModulusThatHoldsTheBlock) {
    const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    char* out = nullptr;
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptDesKey(nullptr, key, &out), 0); }),
              "You must input the platform public key modulus first!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptDesKey("C1", nullptr, &out), 0); }), "DES key is null!");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptDesKey("zz", key, &out), 0); }),
              "Importing the RSA public key's modulus failed!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptDesKey("C1FFFF03", key, &out), 0); }),
              "The length of the text is too big!\n");
    // 16 to 32 bytes cannot hold the 33-byte block: refused, not overrun.
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptDesKey(kModulus32.c_str(), key, &out), 0); }),
              "The length of the text is too big!\n");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptDesKey(kModulus33.c_str(), key, &out), 1); }), "");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::strlen(out), 66u);
    EXPECT_EQ(std::string(out).find_first_not_of("0123456789ABCDEF"), std::string::npos);
    std::free(out);
}

TEST(EncryptServerRand, LimitIsKCharactersAndNonHexPairsStayZero) {
    char* out = nullptr;
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptServerRand(nullptr, "12", &out), 0); }),
              "You must input the platform public key modulus first!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptServerRand("C1", nullptr, &out), 0); }), "Randdom is null!\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptServerRand("", "12", &out), 0); }),
              "Importing the RSA public key's modulus failed!\n");
    const std::string k33(33, '9'), k34(34, '9');
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(encryptServerRand(kModulus33.c_str(), k34.c_str(), &out), 0); }),
              "The length of the text is too big!\n");
    ASSERT_EQ(encryptServerRand(kModulus33.c_str(), k33.c_str(), &out), 1);
    EXPECT_EQ(std::strlen(out), 66u);
    std::free(out);
    // 0 and 1 are fixed points of raw RSA, so the block shows through: a bad
    // pair leaves the whole number zero, and "1" is left-filled to ...0001.
    ASSERT_EQ(encryptServerRand(kModulus33.c_str(), "XY", &out), 1);
    EXPECT_EQ(std::string(out), std::string(66, '0'));
    std::free(out);
    ASSERT_EQ(encryptServerRand(kModulus33.c_str(), "1", &out), 1);
    EXPECT_EQ(std::string(out), std::string(65, '0') + "1");
    std::free(out);
}
