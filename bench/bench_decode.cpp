// Decoding one full frame (2047 points) in each of the seven formats, with default parameters
// and with transform, filters and compensation on, for both conversions: the library's decoder
// beside the plain scalar reading of the decoder tests, measured in the same run. Before timing,
// each case checks that both give the same bytes; a case that does not is reported as an error.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_frame.h"
#include "kxlasereyeinnerutils.h"
#include "reference_decoder.h"

namespace {

struct SCase {
    int nFormat;
    bool bDisparity;
    bool bAllOn;
};

struct SInputs {
    std::vector<uint8_t> frame;
    SKxLaserResultAfterProcParam param;
    std::vector<KxBench::SCompEntry> comp;
    const double* pdOffset;

    explicit SInputs(const SCase& c)
        : frame(KxBench::MakeFrame(c.bDisparity, c.bDisparity ? 0 : 1)),
          param(c.bAllOn ? KxBench::AllOnParams() : SKxLaserResultAfterProcParam()),
          comp(c.bAllOn ? KxBench::CompTable() : std::vector<KxBench::SCompEntry>()),
          pdOffset(c.bAllOn ? KxBench::c_adCoordOffset : nullptr) {}
};

// Output arrays as a result block lays them out: the point array, then the pixel array.
struct SOutput {
    std::vector<double> storage;  // 8-byte aligned
    uint8_t* pPoints;
    uint8_t* pPixels;
    explicit SOutput(int nFormat, uint8_t byFill = 0x5A)
        : storage(KxOutputBlockSize(nFormat) / sizeof(double) + 1) {
        std::memset(storage.data(), byFill, storage.size() * sizeof(double));
        pPoints = reinterpret_cast<uint8_t*>(storage.data());
        pPixels = pPoints + KxBench::c_nFramePoints * KxPointRecordSize(nFormat);
    }
};

int RunLibrary(const SCase& c, const SInputs& in, SOutput& out) {
    static_assert(sizeof(KxBench::SCompEntry) == sizeof(SKxCompensateEntry), "same entry layout");
    return DecodeLaserPoints(c.nFormat, in.frame.data(), KxBench::c_nFramePoints,
                             in.comp.empty() ? nullptr : reinterpret_cast<const SKxCompensateEntry*>(in.comp.data()),
                             static_cast<uint32_t>(in.comp.size()), in.param,
                             c.bDisparity ? KX_CONV_DISPARITY : KX_CONV_THOUSANDTHS, 3, in.pdOffset,
                             static_cast<uint32_t>(KxBench::c_dCx * 1024), static_cast<uint32_t>(KxBench::c_dCy * 1024),
                             static_cast<uint32_t>(KxBench::c_dFocal * 1024), out.pPoints, out.pPixels);
}

int RunReference(const SCase& c, const SInputs& in, SOutput& out) {
    return KxReference::Decode(c.nFormat, in.frame.data(), KxBench::c_nFramePoints,
                               in.comp.empty() ? nullptr
                                               : reinterpret_cast<const KxReference::SCompEntry*>(in.comp.data()),
                               static_cast<unsigned>(in.comp.size()), in.param, c.bDisparity, 3, in.pdOffset,
                               static_cast<uint32_t>(KxBench::c_dCx * 1024),
                               static_cast<uint32_t>(KxBench::c_dCy * 1024),
                               static_cast<uint32_t>(KxBench::c_dFocal * 1024), out.pPoints, out.pPixels);
}

// Empty when both decoders agree byte for byte over the records written.
std::string Compare(const SCase& c, const SInputs& in) {
    SOutput a(c.nFormat), b(c.nFormat);
    const int nA = RunLibrary(c, in, a);
    const int nB = RunReference(c, in, b);
    if (nA != nB) return "record counts differ: " + std::to_string(nA) + " vs " + std::to_string(nB);
    if (nA < KxBench::c_nFramePoints * 9 / 10) return "too few points kept: " + std::to_string(nA);
    if (std::memcmp(a.pPoints, b.pPoints, static_cast<size_t>(nA) * KxPointRecordSize(c.nFormat)) != 0)
        return "point records differ";
    if (std::memcmp(a.pPixels, b.pPixels, static_cast<size_t>(nA) * KxPixelRecordSize(c.nFormat)) != 0)
        return "pixel records differ";
    return std::string();
}

template <bool bReference>
void BM_Decode(benchmark::State& state, SCase c) {
    const SInputs in(c);
    const std::string sError = Compare(c, in);
    if (!sError.empty()) {
        state.SkipWithError(sError.c_str());
        return;
    }
    SOutput out(c.nFormat);
    int n = 0;
    for (auto _ : state) {
        n = bReference ? RunReference(c, in, out) : RunLibrary(c, in, out);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * KxBench::c_nFramePoints);
    state.counters["kept"] = n;
}

void RegisterAll() {
    for (int bAllOn = 0; bAllOn <= 1; ++bAllOn) {
        for (int bDisp = 0; bDisp <= 1; ++bDisp) {
            for (int f = 0; f <= 6; ++f) {
                const SCase c{f, bDisp != 0, bAllOn != 0};
                const std::string sTail = std::string(bAllOn ? "allon" : "default") + "/" +
                                          (bDisp ? "disparity" : "thousandths") + "/format:" + std::to_string(f);
                benchmark::RegisterBenchmark(("decode/library/" + sTail).c_str(), BM_Decode<false>, c)
                    ->Unit(benchmark::kMicrosecond);
                benchmark::RegisterBenchmark(("decode/reference/" + sTail).c_str(), BM_Decode<true>, c)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // KX_BENCH_DECODE_LEVEL=0, 1 or 2 limits the decoder's instruction-set level (baseline, AVX2,
    // AVX-512F); without it the widest level of the processor is measured.
    const char* pszLevel = std::getenv("KX_BENCH_DECODE_LEVEL");
    const int nLevel = KxDecodeLevelLimit(pszLevel != nullptr ? std::atoi(pszLevel) : -1);
    benchmark::AddCustomContext("decode_level", std::to_string(nLevel));
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
