// Fuzz target: the INF reader and the two predictions made from an INF. The
// input is one byte choosing the code page, one of flags (bit 0: the reader
// is NT; bit 1: the locale is Japanese, else US English), then the INF's
// bytes.
//
// Whatever the bytes, the reader ends (libFuzzer's time limit catches a
// hang) within the memory limit; it keeps at most 201 problems, each naming
// the file and a line the file has (0 for the file as a whole), with a text
// that holds no control character; Parsed() says whether one is an error.
// A model chosen names a line the file has and a rank Windows can give.
// Placed in an XP machine as the package's INF, the update is predicted to
// install only from an INF without errors that has a model; placed in a 98
// SE machine's INF directory, the restart names that INF or none.
#include <algorithm>
#include <string>
#include <vector>

#include "sim/codepage.h"
#include "sim/inf.h"
#include "sim/presets.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const uint32_t kCodePages[] = {1252, 932, 936, 949, 950, 1250, 1251, 874};
const char kKey[] = "VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02";
const char kXpInf[] = "C:\\VNTR\\VNTRXP.INF";
const char kStagedInf[] = "C:\\WINDOWS\\INF\\VNTR98SE.INF";

const sim::Machine& Xp() {
    static const sim::Machine m = [] {
        sim::Machine t = sim::PresetMachine("xp");
        t.current_dir = "C:\\VNTR";
        t.files.MakeDirs("C:\\VNTR");
        t.files.PutFile("C:\\VNTR\\VNTR.SYS", "driver");
        sim::AddController(t);
        return t;
    }();
    return m;
}

const sim::Machine& Se() {
    static const sim::Machine m = sim::PresetMachine("98se");
    return m;
}

void CheckProblems(const sim::Inf& inf, size_t lines) {
    const auto& problems = inf.Problems();
    fuzz::Check(problems.size() <= 201, std::to_string(problems.size()) + " problems kept");
    bool error = false;
    for (const sim::InfProblem& p : problems) {
        fuzz::Check(p.file == "FUZZ.INF", "a problem names " + p.file);
        fuzz::Check(p.line <= lines,
                    p.Describe() + " names a line past the " + std::to_string(lines) + " lines");
        fuzz::Check(!p.text.empty(), "a problem without a text");
        fuzz::Check(std::none_of(p.text.begin(), p.text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
                    "a control character in " + sim::Visible(p.text, sim::kUtf8));
        error = error || p.error;
    }
    fuzz::Check(inf.Parsed() == !error, "Parsed() disagrees with the problems");
}

void CheckModel(const sim::Inf& inf, size_t lines) {
    for (bool nt : {true, false}) {
        sim::InfTarget target{nt, nt ? 5u : 4u, nt ? 1u : 10u};
        sim::DeviceIds ids = sim::PciIdsOfEnumKey(kKey);
        auto model = inf.Choose(ids.hardware, ids.compatible, target);
        if (!model) continue;
        fuzz::Check(model->line >= 1 && model->line <= lines,
                    "a model at line " + std::to_string(model->line));
        fuzz::Check(model->rank < 0x4000, "rank " + std::to_string(model->rank));
        for (const sim::InfNamed& copy : inf.Copies(*model, target))
            fuzz::Check(copy.line >= 1 && copy.line <= lines,
                        "a copied file at line " + std::to_string(copy.line));
    }
}

void CheckPredictions(const sim::Bytes& text, const sim::Inf& nt_inf) {
    sim::Machine xp = Xp();
    xp.files.PutFile(kXpInf, text);
    sim::UpdatePrediction u = sim::PredictUpdate(xp, kXpInf, std::string("PCI\\") + kKey);
    fuzz::Check(u.kind != sim::UpdatePrediction::kUnpredictable, "a captured INF is unpredictable");
    fuzz::Check((u.kind == sim::UpdatePrediction::kInstalls) == u.model.has_value(),
                "installs without a model");
    if (!nt_inf.Parsed())
        fuzz::Check(u.kind == sim::UpdatePrediction::kFails,
                    "an INF with errors installs: " + u.why);
    fuzz::Check(!u.why.empty(), "a prediction without a why");

    sim::Machine se = Se();
    se.files.PutFile(kStagedInf, text);
    sim::RestartPrediction r;
    sim::PredictRestarts(se, {kKey}, [&](const sim::RestartPrediction& p) { r = p; });
    fuzz::Check(!r.inf || *r.inf == kStagedInf, "the restart names " + r.inf.value_or(""));
    fuzz::Check(r.inf.has_value() == r.model.has_value(), "an INF without a model");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint32_t codepage = kCodePages[in.Byte() % (sizeof kCodePages / sizeof kCodePages[0])];
    uint8_t flags = in.Byte();
    bool nt = flags & 1;
    uint32_t locale = flags & 2 ? 0x0411 : 0x0409;
    std::string text = in.Rest();
    size_t lines = std::count(text.begin(), text.end(), '\n') + 1;

    sim::Inf inf = sim::Inf::Read(text, "FUZZ.INF", codepage, locale, nt);
    CheckProblems(inf, lines);
    CheckModel(inf, lines);
    if (codepage == 1252 && locale == 0x0409) {
        if (nt) {
            CheckPredictions(text, inf);
        } else {
            CheckPredictions(text, sim::Inf::Read(text, "FUZZ.INF", codepage, locale, true));
        }
    }
    return 0;
}
