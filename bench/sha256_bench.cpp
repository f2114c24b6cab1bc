// SHA-256 throughput of the plugin's own implementation next to OpenSSL's EVP
// SHA-256 on the same buffers in the same run.
//
//   BM_IronpostSha256/<bytes>, BM_OpenSslSha256/<bytes>: each alone, with
//     bytes_per_second. tools/run-benchmarks divides the two CPU-time
//     medians; CPU time, not wall time, because the machines these run on
//     are shared.
//
// OpenSSL picks its code at start-up from OPENSSL_ia32cap: the run script
// runs this program twice, as it is and with the SHA extensions masked
// (OPENSSL_ia32cap=:~0x20000000, bit 29 of the second word being CPUID
// leaf 7's SHA bit), since ours is portable C++ without them.
//
// Our side is Sha256Hex, so it includes rendering the digest as hex; that is
// what every caller pays, and it only matters for the smallest inputs.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_crypto.h"

namespace {

std::string Buffer(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 167 + 13) & 0xff);
    }
    return bytes;
}

std::string OpenSslSha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &digest_size, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest_size * 2);
    for (unsigned int i = 0; i < digest_size; ++i) {
        hex.push_back(digits[digest[i] >> 4]);
        hex.push_back(digits[digest[i] & 0x0f]);
    }
    return hex;
}

// Refuses to time anything if the two implementations disagree.
bool SameDigest(benchmark::State& state, const std::string& data) {
    if (ironpost::Sha256Hex(data) != OpenSslSha256Hex(data)) {
        state.SkipWithError("SHA-256 digests differ from OpenSSL");
        return false;
    }
    return true;
}

void BM_IronpostSha256(benchmark::State& state) {
    const std::string data = Buffer(static_cast<std::size_t>(state.range(0)));
    if (!SameDigest(state, data)) {
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ironpost::Sha256Hex(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslSha256(benchmark::State& state) {
    const std::string data = Buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(OpenSslSha256Hex(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// From one envelope-sized payload up to a megabyte.
void InputSizes(benchmark::internal::Benchmark* benchmark) {
    for (const std::int64_t size : {64, 1024, 16 * 1024, 1024 * 1024}) {
        benchmark->Arg(size);
    }
}

BENCHMARK(BM_IronpostSha256)->Apply(InputSizes);
BENCHMARK(BM_OpenSslSha256)->Apply(InputSizes);

}  // namespace

BENCHMARK_MAIN();
