#include "sim/package.h"

#include "sim/codepage.h"

namespace sim {

const char kUnpredictableOutcome[] = "unpredictable (INF not captured)";

const char* UpdateVerdictName(UpdatePrediction::Kind kind) {
    switch (kind) {
        case UpdatePrediction::kInstalls:
            return "installs";
        case UpdatePrediction::kFails:
            return "fails";
        case UpdatePrediction::kUnpredictable:
            return "unpredictable";
    }
    return "";
}

std::string DeletedDeviceKey(const Event& e) {
    static const std::string kEnumPci = "HKLM\\Enum\\PCI\\";
    if (e.type() != "reg_delete" || e.GetNum("result", -1) != 0) return "";
    const Bytes& path = e.GetStr("path");
    if (path.size() <= kEnumPci.size() || !EqualNoCase(path.substr(0, kEnumPci.size()), kEnumPci))
        return "";
    std::string key = path.substr(kEnumPci.size());
    return FindBackslash(key) == std::string::npos ? key : "";
}

void PredictAfterRestart(const Machine& after, const std::vector<std::string>& deleted_keys,
                         const std::function<void(const RestartPrediction&)>& each) {
    if (after.os.platform == 1) PredictRestarts(after, deleted_keys, each);
}

Event RestartEvent(const RestartPrediction& p) {
    Event e("after_restart");
    e.Str("device", p.device)
        .StrOrNull("inf", p.inf ? p.inf->c_str() : nullptr)
        .StrOrNull("model", p.model ? p.model->c_str() : nullptr)
        .Str("why", p.why)
        .List("not_captured", p.not_captured);
    return e;
}

RestartPrediction RestartOf(const Event& e) {
    RestartPrediction p;
    p.device = e.GetStr("device");
    if (!e.IsNull("inf")) p.inf = e.GetStr("inf");
    if (!e.IsNull("model")) p.model = e.GetStr("model");
    p.why = e.GetStr("why");
    if (const Field* list = e.Get("not_captured")) p.not_captured = list->Items();
    return p;
}

Bytes AfterRestartBytes(const RestartPrediction& p) {
    if (p.inf && p.model) return p.device + " -> " + *p.inf + " (" + *p.model + ")";
    if (!p.not_captured.empty())
        return p.device + ": " + p.not_captured[0] +
               " was not captured, Windows' choice cannot be told";
    return "no INF lists " + p.device + ": Windows asks for a driver";
}

std::string AfterRestartLine(const RestartPrediction& p, uint32_t codepage) {
    return Visible(AfterRestartBytes(p), codepage);
}

}  // namespace sim
