// Cost of each dornEncrypt mode against the OpenSSL primitives it is made
// of, printed with the ratios and the goals:
//   mode 0          <= 1.3 x (RSA-1024 key from hex + PKCS#1 public encryption + RC4 + Base64)
//   modes 3, 4, 5   <= 1.5 x one OpenSSL SM2 encryption of 32 bytes
//   triple DES      <= 2 x OpenSSL's triple DES, per block
// Run: build/bin/security_bench (not part of the tests).
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level RSA, RC4 and DES primitives are the baselines
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/buffer.h>
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rc4.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "security/des.h"
#include "security/security.h"
#include "security/sm2.h"

namespace {

std::string readKey(const char* name) {
    std::ifstream in(std::string(SECURITY_KEYS_DIR) + "/" + name);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

const std::string& appKey() {
    static const std::string k = readKey("app_rsa1024.modulus.hex");
    return k;
}
const std::string& rsaKey() {
    static const std::string k = readKey("platform_rsa1024.modulus.hex");
    return k;
}
const std::string& sm2Key() {
    static const std::string k = readKey("platform_sm2.pub.hex");
    return k;
}

constexpr const char* kPassword = "P@ssw0rd2024";
constexpr const char* kTimestamp = "1700000000000";

void runMode(benchmark::State& state, int mode, const char* text, const char* extra, bool sm2) {
    const EncryptionKeys keys{appKey().c_str(), sm2 ? sm2Key().c_str() : rsaKey().c_str()};
    for (auto _ : state) {
        char* out = nullptr;
        dornEncrypt(mode, &keys, &out, text, extra);
        if (out == nullptr) {
            state.SkipWithError("no output");
            break;
        }
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
}

void BM_Mode0(benchmark::State& s) { runMode(s, 0, kPassword, kTimestamp, false); }
void BM_Mode1(benchmark::State& s) { runMode(s, 1, "123456", "0123456789ABCDEF", false); }
void BM_Mode2(benchmark::State& s) { runMode(s, 2, kPassword, kTimestamp, false); }
void BM_Mode3(benchmark::State& s) { runMode(s, 3, kPassword, kTimestamp, true); }
void BM_Mode4(benchmark::State& s) { runMode(s, 4, kPassword, kTimestamp, true); }
void BM_Mode5(benchmark::State& s) { runMode(s, 5, kPassword, kTimestamp, true); }

RSA* rsaFromModulus(const std::string& hex) {
    BIGNUM *n = nullptr, *e = nullptr;
    BN_hex2bn(&n, hex.c_str());
    BN_hex2bn(&e, "10001");
    RSA* r = RSA_new();
    RSA_set0_key(r, n, e, nullptr);
    return r;
}

// The OpenSSL primitives mode 0 is made of, at the sizes the format uses:
// the RSA key from its hex modulus, one PKCS#1 v1.5 public encryption of the
// 16-byte key, RC4 (key set-up, the 512 dropped bytes, the text) and Base64
// of the envelope. `importKey` and `dropBytes` off give the narrow set: a
// key prepared once, RC4 of the text alone.
void mode0Primitives(benchmark::State& state, bool importKey, bool dropBytes) {
    RSA* prepared = importKey ? nullptr : rsaFromModulus(appKey());
    const std::string plain = std::string("S") + kTimestamp + ":" + kPassword;
    unsigned char key[16], wrapped[128], cipher[64], drop[512] = {};
    RAND_bytes(key, sizeof key);
    const size_t envLen = 128 + 28 + plain.size();
    unsigned char envelope[512] = {};
    for (auto _ : state) {
        RSA* rsa = importKey ? rsaFromModulus(appKey()) : prepared;
        RSA_public_encrypt(16, key, wrapped, rsa, RSA_PKCS1_PADDING);
        if (importKey) RSA_free(rsa);
        RC4_KEY rc4;
        RC4_set_key(&rc4, 16, key);
        if (dropBytes) RC4(&rc4, sizeof drop, drop, drop);
        RC4(&rc4, plain.size(), reinterpret_cast<const unsigned char*>(plain.data()), cipher);
        std::memcpy(envelope + 20, wrapped, 128);
        std::memcpy(envelope + 156, cipher, plain.size());
        BIO* b64 = BIO_new(BIO_f_base64());
        BIO* mem = BIO_new(BIO_s_mem());
        BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
        BIO_push(b64, mem);
        BIO_write(b64, envelope, static_cast<int>(envLen));
        (void)BIO_flush(b64);
        BUF_MEM* buf = nullptr;
        BIO_get_mem_ptr(mem, &buf);
        benchmark::DoNotOptimize(buf->data);
        BIO_free_all(b64);
    }
    RSA_free(prepared);
}

void BM_Mode0Primitives(benchmark::State& s) { mode0Primitives(s, true, true); }
void BM_Mode0NarrowPrimitives(benchmark::State& s) { mode0Primitives(s, false, false); }

// Pieces of mode 0 that its primitives leave out, for reference.
void BM_GenerateRandom16(benchmark::State& state) {
    unsigned char key[16];
    for (auto _ : state) {
        generateRandom(key, sizeof key);
        benchmark::DoNotOptimize(key);
    }
}

void BM_RsaKeyFromHex(benchmark::State& state) {
    unsigned char key[16] = {}, wrapped[128];
    for (auto _ : state) {
        RSA* rsa = rsaFromModulus(appKey());
        RSA_public_encrypt(16, key, wrapped, rsa, RSA_PKCS1_PADDING);
        RSA_free(rsa);
    }
}

void BM_RsaPrebuiltKey(benchmark::State& state) {
    RSA* rsa = rsaFromModulus(appKey());
    unsigned char key[16] = {}, wrapped[128];
    for (auto _ : state) RSA_public_encrypt(16, key, wrapped, rsa, RSA_PKCS1_PADDING);
    RSA_free(rsa);
}

void BM_Rc4Drop512(benchmark::State& state) {
    unsigned char key[16] = {}, drop[512] = {};
    for (auto _ : state) {
        RC4_KEY rc4;
        RC4_set_key(&rc4, 16, key);
        RC4(&rc4, sizeof drop, drop, drop);
        benchmark::DoNotOptimize(drop);
    }
}

// One OpenSSL SM2 encryption of 32 bytes to the demo platform key.
void BM_OpenSSLSm2Encrypt32(benchmark::State& state) {
    FILE* f = std::fopen((std::string(SECURITY_KEYS_DIR) + "/platform_sm2.pem").c_str(), "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) std::fclose(f);
    if (key == nullptr) {
        state.SkipWithError("no SM2 key");
        return;
    }
    unsigned char msg[32], out[256];
    RAND_bytes(msg, sizeof msg);
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
        size_t len = sizeof out;
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_encrypt(ctx, out, &len, msg, sizeof msg);
        benchmark::DoNotOptimize(out);
        EVP_PKEY_CTX_free(ctx);
    }
    EVP_PKEY_free(key);
}

void BM_sm2Encrypt(benchmark::State& state) {
    unsigned char block[32] = {1, 2, 3};
    for (auto _ : state) {
        unsigned char* out = nullptr;
        int len = 0;
        sm2Encrypt(sm2Key().c_str(), block, &out, &len);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
}

void BM_getUDFCurve(benchmark::State& state) {
    for (auto _ : state) {
        EC_GROUP* g = getUDFCurve("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
                                  "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
                                  "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
                                  "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
                                  "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
                                  "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
        benchmark::DoNotOptimize(g);
        EC_GROUP_free(g);
    }
}

const unsigned char kK1[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const unsigned char kK2[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
const unsigned char kK3[8] = {0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67};

void BM_DesBlock(benchmark::State& state) {
    des_context ctx;
    des_set_key(&ctx, kK1);
    unsigned char b[8] = {};
    for (auto _ : state) {
        des_encrypt(&ctx, b, b);
        benchmark::DoNotOptimize(b);
    }
}

void BM_OpenSSLDesBlock(benchmark::State& state) {
    DES_cblock k, b = {};
    std::memcpy(k, kK1, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    for (auto _ : state) {
        DES_ecb_encrypt(&b, &b, &ks, DES_ENCRYPT);
        benchmark::DoNotOptimize(b);
    }
}

void BM_TripleDesBlock(benchmark::State& state) {
    des3_context ctx;
    des3_set_3keys(&ctx, kK1, kK2, kK3);
    unsigned char b[8] = {};
    for (auto _ : state) {
        des3_encrypt(&ctx, b, b);
        benchmark::DoNotOptimize(b);
    }
}

void BM_OpenSSLTripleDesBlock(benchmark::State& state) {
    DES_cblock k1, k2, k3, b = {};
    std::memcpy(k1, kK1, 8);
    std::memcpy(k2, kK2, 8);
    std::memcpy(k3, kK3, 8);
    DES_key_schedule s1, s2, s3;
    DES_set_key_unchecked(&k1, &s1);
    DES_set_key_unchecked(&k2, &s2);
    DES_set_key_unchecked(&k3, &s3);
    for (auto _ : state) {
        DES_ecb3_encrypt(&b, &b, &s1, &s2, &s3, DES_ENCRYPT);
        benchmark::DoNotOptimize(b);
    }
}

// Triple DES through EVP, one block per update, for reference.
void BM_OpenSSLEvpTripleDesBlock(benchmark::State& state) {
    unsigned char key[24];
    std::memcpy(key, kK1, 8);
    std::memcpy(key + 8, kK2, 8);
    std::memcpy(key + 16, kK3, 8);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    unsigned char b[8] = {}, o[16];
    for (auto _ : state) {
        int len = 0;
        EVP_EncryptUpdate(ctx, o, &len, b, 8);
        benchmark::DoNotOptimize(o);
    }
    EVP_CIPHER_CTX_free(ctx);
}

// The cases a goal is judged on run five times; the ratios use the medians.
void goalCase(benchmark::internal::Benchmark* b) { b->Repetitions(5)->ReportAggregatesOnly(true); }

BENCHMARK(BM_Mode0)->Unit(benchmark::kMicrosecond)->Apply(goalCase);
BENCHMARK(BM_Mode0Primitives)->Unit(benchmark::kMicrosecond)->Apply(goalCase);
BENCHMARK(BM_Mode0NarrowPrimitives)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GenerateRandom16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaKeyFromHex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaPrebuiltKey)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rc4Drop512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mode1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mode2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mode3)->Unit(benchmark::kMicrosecond)->Apply(goalCase);
BENCHMARK(BM_Mode4)->Unit(benchmark::kMicrosecond)->Apply(goalCase);
BENCHMARK(BM_Mode5)->Unit(benchmark::kMicrosecond)->Apply(goalCase);
BENCHMARK(BM_OpenSSLSm2Encrypt32)->Unit(benchmark::kMicrosecond)->Apply(goalCase);
BENCHMARK(BM_sm2Encrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_getUDFCurve)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DesBlock);
BENCHMARK(BM_OpenSSLDesBlock);
BENCHMARK(BM_TripleDesBlock)->Apply(goalCase);
BENCHMARK(BM_OpenSSLTripleDesBlock)->Apply(goalCase);
BENCHMARK(BM_OpenSSLEvpTripleDesBlock);

// Keeps each benchmark's CPU time per iteration, in seconds: every case is
// single-threaded, and CPU time is what stays comparable on a shared machine.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs)
            if (!r.error_occurred && (r.run_type == Run::RT_Iteration || r.aggregate_name == "median"))
                seconds[r.run_name.function_name] =
                    r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    auto& t = collector.seconds;
    struct Goal {
        const char* what;
        const char* mine;
        const char* base;
        double limit;
    } goals[] = {
        {"mode 0 / its primitives", "BM_Mode0", "BM_Mode0Primitives", 1.3},
        {"mode 3 / OpenSSL SM2 (32 bytes)", "BM_Mode3", "BM_OpenSSLSm2Encrypt32", 1.5},
        {"mode 4 / OpenSSL SM2 (32 bytes)", "BM_Mode4", "BM_OpenSSLSm2Encrypt32", 1.5},
        {"mode 5 / OpenSSL SM2 (32 bytes)", "BM_Mode5", "BM_OpenSSLSm2Encrypt32", 1.5},
        {"triple DES / OpenSSL, per block", "BM_TripleDesBlock", "BM_OpenSSLTripleDesBlock", 2.0},
        {"single DES / OpenSSL, per block", "BM_DesBlock", "BM_OpenSSLDesBlock", 0.0},
        {"mode 0 / narrow primitives", "BM_Mode0", "BM_Mode0NarrowPrimitives", 0.0},
        {"sm2Encrypt / OpenSSL SM2 (32 bytes)", "BM_sm2Encrypt", "BM_OpenSSLSm2Encrypt32", 0.0},
    };
    std::printf("\n%-38s %12s %12s %7s %6s %s\n", "ratio", "ours", "baseline", "ratio", "goal", "verdict");
    int missed = 0;
    for (const auto& g : goals) {
        if (!t.count(g.mine) || !t.count(g.base)) {
            std::printf("%-38s (not run)\n", g.what);
            continue;
        }
        const double ratio = t[g.mine] / t[g.base];
        const bool hasGoal = g.limit > 0;
        const bool ok = !hasGoal || ratio <= g.limit;
        missed += ok ? 0 : 1;
        auto fmt = [](double s) {
            char buf[32];
            if (s >= 1e-6)
                std::snprintf(buf, sizeof buf, "%.2f us", s * 1e6);
            else
                std::snprintf(buf, sizeof buf, "%.1f ns", s * 1e9);
            return std::string(buf);
        };
        char goal[16] = "-";
        if (hasGoal) std::snprintf(goal, sizeof goal, "%.1f", g.limit);
        std::printf("%-38s %12s %12s %7.2f %6s %s\n", g.what, fmt(t[g.mine]).c_str(), fmt(t[g.base]).c_str(),
                    ratio, goal, hasGoal ? (ok ? "met" : "MISSED") : "(reference)");
    }
    return missed == 0 ? 0 : 1;
}
