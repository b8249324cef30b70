// Host time per operation with the in-process card, and the bare OpenSSL
// private-key operation with the same key for comparison. Every operation
// is timed cold (empty cache directory, module just initialised), warm
// (module initialised again, cache kept) and again (repeated in the same
// module instance). BENCH_TRACE_LOG=1 turns the module's trace log on.
#include "cardbench.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace cardbench;

enum class Mode { Cold, Warm, Again };

void timeOperation(benchmark::State& state, const Operation& op, Mode mode) {
    Context c;
    c.insert(makeCard(c, op.dataObjects, op.dataObjects == 0));
    configuration().wipeCache();
    op.setup(c);
    op.run(c);  // the first run fills the caches the warm and repeated runs use
    for (auto _ : state) {
        const bool untimedSetup = mode != Mode::Again || op.setupEachTime;
        if (untimedSetup) {
            state.PauseTiming();
            if (mode != Mode::Again)
                c.finalize();
            if (mode == Mode::Cold)
                configuration().wipeCache();
            op.setup(c);
            state.ResumeTiming();
        }
        op.run(c);
    }
    c.finalize();
}

std::vector<std::uint8_t> sslRun(EVP_PKEY* key, bool sign, const Bytes& input) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(KEY_BITS / 8);
    std::size_t len = out.size();
    const bool ok =
        (sign ? EVP_PKEY_sign_init(ctx) : EVP_PKEY_decrypt_init(ctx)) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
        (sign ? EVP_PKEY_sign(ctx, out.data(), &len, input.data(), input.size())
              : EVP_PKEY_decrypt(ctx, out.data(), &len, input.data(), input.size())) > 0;
    EVP_PKEY_CTX_free(ctx);
    if (!ok)
        throw std::runtime_error("OpenSSL private-key operation failed");
    return out;
}

// The bare private-key operation, context set up per call as the card does.
void openssl(benchmark::State& state, bool sign) {
    const Bytes input = sign ? digestInfo() : testcerts::rsaEncrypt(hostKey(), digestInfo());
    for (auto _ : state)
        benchmark::DoNotOptimize(sslRun(hostKey(), sign, input));
}

}  // namespace

int main(int argc, char** argv) {
    const char* log = std::getenv("BENCH_TRACE_LOG");
    configuration(log && std::string(log) == "1" ? "loglevel = 1\n" : "");
    benchmark::Initialize(&argc, argv);
    static const std::vector<Operation> ops = operations();
    const std::pair<Mode, const char*> modes[] = {
        {Mode::Cold, "cold"}, {Mode::Warm, "warm"}, {Mode::Again, "again"}};
    for (const Operation& op : ops)
        for (const auto& [mode, name] : modes) {
            auto* b = benchmark::RegisterBenchmark((op.name + "/" + name).c_str(), timeOperation,
                                                   op, mode);
            b->Unit(benchmark::kMicrosecond);
            // Key generation on the virtual card costs a real RSA key generation.
            if (op.name == "C_GenerateKeyPair")
                b->Iterations(5);
        }
    benchmark::RegisterBenchmark("OpenSSL RSA sign", openssl, true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("OpenSSL RSA decrypt", openssl, false)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
