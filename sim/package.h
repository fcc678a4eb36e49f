// What Windows does with the package the program hands over, beyond the
// program's last call: the driver update's verdict as the run records it,
// and what the 9x family does at its next start for each controller whose
// key the run deleted. Both are predictions read from the INF files
// (sim/inf.h), never calls of the program.
#ifndef VNTR_SIM_PACKAGE_H
#define VNTR_SIM_PACKAGE_H

#include <functional>
#include <string>
#include <vector>

#include "sim/event.h"
#include "sim/inf.h"
#include "sim/machine.h"

namespace sim {

// "installs", "fails" or "unpredictable": the install event's inf_verdict.
const char* UpdateVerdictName(UpdatePrediction::Kind kind);

// The outcome of a run whose update was given an INF known only by its size
// and CRC-32, with no [update] table to say what the update does.
extern const char kUnpredictableOutcome[];

// The Enum\PCI key a successful RegDeleteKeyA event removed, when it is one
// directly below HKLM\Enum\PCI (a controller's device key); "" otherwise.
std::string DeletedDeviceKey(const Event& e);

// What Windows 9x does at the next start for each device key the run
// deleted, on the machine as the run left it; nothing on NT.
// Each is given to `each` as it is made.
void PredictAfterRestart(const Machine& after, const std::vector<std::string>& deleted_keys,
                         const std::function<void(const RestartPrediction&)>& each);

// A prediction as a record of the run and back.
Event RestartEvent(const RestartPrediction& p);
RestartPrediction RestartOf(const Event& e);

// One line per prediction, the form `[expect] after_restart` uses:
// "DEVICE -> INF (MODEL)"; or, when no INF lists the device, "DEVICE: INF
// was not captured, Windows' choice cannot be told" where the folders hold
// an INF known only by its size and CRC-32, else "no INF lists DEVICE:
// Windows asks for a driver". The bytes of the machine's code page; AfterRestartLine shows them
// in UTF-8.
Bytes AfterRestartBytes(const RestartPrediction& p);
std::string AfterRestartLine(const RestartPrediction& p, uint32_t codepage);

}  // namespace sim

#endif  // VNTR_SIM_PACKAGE_H
