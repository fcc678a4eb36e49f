// The contract checks over the simulated machine: once as Windows XP, once
// as Windows 98.
#include <cstdio>

#include "host/sim/presets.h"
#include "host/sim/runtime.h"
#include "tests/contract/env.h"

const char* EnvWorkDir(void) { return "C:\\contract"; }

void EnvPutFile(const char* path, const char* data, size_t size) {
    sim::Runtime* rt = sim::Active();
    rt->m.files.PutFile(sim::FileSystem::Absolute(path, rt->cwd), sim::Bytes(data, size));
}

void EnvMakeKey(const char* path) { sim::MakeKeyPath(sim::Active()->m.hklm.get(), path); }

int EnvAddDevice(const char* ids, size_t size) {
    sim::Device d;
    d.hardware_ids = sim::Bytes(ids, size);
    sim::Active()->m.devices.push_back(d);
    return 1;
}

int EnvLegacy(void) { return sim::Active()->m.os.platform == 1; }

int EnvWine(void) { return 0; }

int main() {
    int failed = 0;
    for (const char* os : {"xp", "98"}) {
        sim::Machine m = sim::PresetMachine(os);
        m.files.MakeDirs(EnvWorkDir());
        // The checks write to standard output; show it as it comes.
        sim::RunOptions options;
        options.sink = [](const sim::Event& e) {
            if (e.type() == "stdout") {
                std::string text = e.GetStr("text");
                fwrite(text.data(), 1, text.size(), stderr);
            }
        };
        fprintf(stderr, "# simulated Windows %s\n", os);
        sim::Session session(m, options);
        failed += RunContractChecks();
    }
    return failed == 0 ? 0 : 1;
}
