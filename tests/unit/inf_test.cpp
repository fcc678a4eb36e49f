// The INF reader's rules and refusals, the model Windows chooses from an INF,
// and the two predictions made from a package: the update on 2000/XP and the
// driver Windows 9x finds after the restart.
#include "sim/inf.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/product.h"
#include "host/host.h"
#include "sim/presets.h"

namespace {

const uint32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION

const char kHead[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";

struct ReaderCase {
    const char* what;
    std::string text;
    std::string problem;  // a substring of the first problem's Describe(); "" for none
    bool error;           // that problem is an error (else a warning)
    std::string key;      // a [Version] key to read, and the value it must have
    std::string value;
    uint32_t codepage = 1252;
    uint32_t locale = 0x0409;
    bool nt = true;
};

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string(1, c) + '\0';
    return out;
}

TEST(InfReader, RulesAndRefusals) {
    const std::string h = kHead;
    const std::vector<ReaderCase> cases = {
        {"strings substituted", h + "Provider=%V%\r\n[Strings]\r\nV=\"Vantor\"\r\n", "", false,
         "Provider", "Vantor"},
        {"section and key names without case", "[vErSiOn]\nsignature=$chicago$\nPROVIDER=x\n", "",
         false, "provider", "x"},
        {"comment outside quotes only", h + "Provider=\"a;b\" ; c\n", "", false, "Provider", "a;b"},
        {"a ; inside a %strkey% token is no comment", h + "Provider=%a;b%\n[Strings]\n\"a;b\"=x\n",
         "", false, "Provider", "x"},
        {"backslash continues the line", h + "Provider=Van\\\n  tor\nClass=X\n", "", false,
         "Provider", "Van  tor"},
        {"the documented continuation after a quoted backslash",
         h + "CopyFiles = \"SomeDirectory\\\"\\ ; comment\n,SomeFile\n", "", false, "CopyFiles",
         "SomeDirectory\\,SomeFile"},
        {"tokens inside a quoted string", h + "Notice = \"%A% %B%\"\n[Strings]\nA=one\nB=\"two\"\n",
         "", false, "Notice", "one two"},
        {"quoted backslash does not continue", h + "Provider=\"a\\\"\nClass=X\n", "", false,
         "Class", "X"},
        {"doubled quote inside quotes", h + "Provider=\"say \"\"hi\"\"\"\n", "", false, "Provider",
         "say \"hi\""},
        {"%% is a percent sign", h + "Provider=100%%\n", "", false, "Provider", "100%"},
        {"a directory id stays", h + "Provider=%12%\\x\n", "", false, "Provider", "%12%\\x"},
        {"the value keeps its commas", h + "DriverVer = 06/01/2004, 5.1.0.4\n", "", false,
         "DriverVer", "06/01/2004,5.1.0.4"},
        {"[Strings.LLLL] of the locale first",
         h + "Provider=%V%\n[Strings]\nV=en\n[Strings.0411]\nV=ja\n", "", false, "Provider", "ja",
         932, 0x0411},
        {"the neutral sublanguage next",
         h + "Provider=%V%\n[Strings.0807]\nV=ch\n[Strings.0007]\nV=de\n", "", false, "Provider",
         "de", 1252, 0x0407},
        {"only the chosen [Strings] section counts",
         h + "Provider=%V%\n[Strings]\nV=en\nW=x\n[Strings.0407]\nV=de\n", "", false, "Provider",
         "de", 1252, 0x0407},
        {"a trail byte 0x5C is no continuation", h + "Provider=\x95\x5C\nClass=X\n", "", false,
         "Class", "X", 932},
        {"a trail byte 0x5D does not close a section name", h + "[S\x83\x5D\n",
         "F.INF:3: a section name without its closing ']'", true, "", "", 932},
        {"UTF-16 with a byte-order mark on NT", Utf16(h + "Provider=u\r\n"), "", false, "Provider",
         "u"},
        {"Ctrl-Z ends the file",
         h + "Provider=a\n\x1A"
             "Provider=b\n",
         "", false, "Provider", "a"},
        {"a section named twice is merged", h + "[Strings]\n[Version]\nProvider=p\n",
         "F.INF:4: section [Version] is named again (first at line 1); Windows merges", false,
         "Provider", "p"},
        {"missing [Version]", "[Manufacturer]\n", "F.INF: no [Version] section", true, "", ""},
        {"a bad signature", "[Version]\nSignature=\"$Windows 3.1$\"\n",
         "F.INF:2: signature \"$Windows 3.1$\"", true, "", ""},
        {"no signature", "[Version]\nClass=X\n", "F.INF:1: [Version] has no Signature", true, "",
         ""},
        {"an unknown string key", h + "Provider=%Nope%\n[Strings]\nV=x\n",
         "F.INF:3: string key %Nope%", true, "", ""},
        {"a string key of another locale's section",
         h + "Provider=%W%\n[Strings]\nW=x\n[Strings.0407]\nV=y\n", "F.INF:3: string key %W%", true,
         "", "", 1252, 0x0407},
        {"an unterminated quote", h + "Provider=\"abc\n",
         "F.INF:3: a quoted string that the line does not close", true, "", ""},
        {"a field over Windows' limit", h + "Provider=" + std::string(4096, 'x') + "\n",
         "F.INF:3: a field of 4096 characters", true, "", ""},
        {"a string over the limit after substitution",
         h + "Provider=%V%%V%%V%%V%%V%%V%%V%%V%%V%\n[Strings]\nV=\"" + std::string(500, 'x') +
             "\"\n",
         "F.INF:3: a string of 4500 characters after substitution", true, "", ""},
        {"a [Strings] value 2000 and XP cut",
         h + "[Strings]\nV=\"" + std::string(600, 'x') + "\"\n",
         "F.INF:4: a string of 600 characters; Windows 2000 and XP hold 511", false, "", ""},
        {"a section name over 255 characters", h + "[" + std::string(256, 's') + "]\n",
         "F.INF:3: a section name of 256 characters", true, "", ""},
        {"a section name without ]", h + "[Strings\n",
         "F.INF:3: a section name without its closing ']'", true, "", ""},
        {"a line before any section", "Signature=x\n" + h, "F.INF:1: a line outside any section",
         true, "", ""},
        {"a lead byte before a byte no trail byte", h + "Provider=\x81 x\n",
         "F.INF:3: bytes that are not text in code page 932", true, "", "", 932},
        {"a lead byte without its trail byte", h + "Provider=\x82\n",
         "F.INF:3: bytes that are not text in code page 932", true, "", "", 932},
        {"a control character",
         h + "Provider=a\x01"
             "b\n",
         "F.INF:3: bytes that are not text", true, "", ""},
        {"UTF-16 on Windows 9x", Utf16(h), "F.INF: a UTF-16 file", true, "", "", 1252, 0x0409,
         false},
        {"UTF-16 of an odd length", Utf16(h) + "x",
         "F.INF: a UTF-16 file of an odd number of bytes", true, "", ""},
        {"a file over the size limit", h + std::string(sim::Inf::kMaxFileSize, ';'),
         "F.INF: a file of " + std::to_string(sizeof kHead - 1 + sim::Inf::kMaxFileSize) + " bytes",
         true, "", ""},
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Inf inf = sim::Inf::Read(c.text, "F.INF", c.codepage, c.locale, c.nt);
        if (c.problem.empty()) {
            EXPECT_TRUE(inf.Problems().empty()) << inf.Problems()[0].Describe();
        } else {
            ASSERT_FALSE(inf.Problems().empty());
            EXPECT_NE(inf.Problems()[0].Describe().find(c.problem), std::string::npos)
                << inf.Problems()[0].Describe();
            EXPECT_EQ(inf.Problems()[0].error, c.error);
            EXPECT_EQ(inf.Parsed(), !c.error);
        }
        if (!c.key.empty()) {
            EXPECT_EQ(inf.Version(c.key), c.value);
        }
    }
}

TEST(InfReader, AHostileFileIsReadWithinBounds) {
    std::string text = kHead;
    for (int i = 0; i < 100000; ++i) text += "x=%unknown%\n";
    sim::Inf inf = sim::Inf::Read(text, "F.INF", 1252, 0x0409, true);
    EXPECT_EQ(inf.Problems().size(), 201u);
    EXPECT_NE(inf.Problems().back().text.find("more problems"), std::string::npos);

    text = kHead;
    for (int i = 0; i < 100001; ++i) text += "[s" + std::to_string(i) + "]\n";
    inf = sim::Inf::Read(text, "F.INF", 1252, 0x0409, true);
    ASSERT_EQ(inf.Problems().size(), 1u);
    EXPECT_EQ(inf.Problems()[0].Describe(),
              "F.INF:100002: more than 100000 sections; the simulator reads no further");

    text = std::string(kHead) + "x=" + std::string(1000000, ',') + "\n";
    inf = sim::Inf::Read(text, "F.INF", 1252, 0x0409, true);
    ASSERT_EQ(inf.Problems().size(), 1u);
    EXPECT_EQ(
        inf.Problems()[0].Describe(),
        "F.INF:3: more than 1000000 sections, entries and values; the simulator reads no further");
}

// One INF with models for Windows 2000 (undecorated), any NT on x86, XP and
// later, and x64; the device IDs are those Windows XP gives a controller.
const char kModelsInf[] =
    "[Version]\nSignature=\"$Windows NT$\"\nCatalogFile=all.cat\nCatalogFile.NTx86=x86.cat\n"
    "[Manufacturer]\n%V%=Vantor,NTx86,NTx86.5.1,NTamd64,NTx86.5.1.3\n"
    "[Vantor]\n%A%=Inst,PCI\\VEN_C4B9&DEV_8E3A\n"
    "[Vantor.NTx86]\n%N%=Inst,PCI\\VEN_C4B9&DEV_8E3A\n"
    "[Vantor.NTx86.5.1]\n"
    "%A%=Inst,PCI\\VEN_C4B9&DEV_8E3A\n"                         // line 12
    "%B%=Inst,pci\\ven_c4b9&dev_8e3a&subsys_8e3ac4b9&rev_02\n"  // line 13
    "%C%=Inst,,PCI\\VEN_C4B9&DEV_8E51&SUBSYS_8E51C4B9\n"        // line 14
    "[Vantor.NTamd64]\n%X%=Inst,PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\n"
    "[Vantor.NTx86.5.1.3]\n%S%=Inst,PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\n"
    "[Strings]\nV=Vantor\nA=generic\nB=exact\nC=compatible\nN=nt\nX=x64\nS=server\n";

std::vector<std::string> XpIds(const std::string& model) {
    std::string base = "PCI\\VEN_C4B9&DEV_" + model;
    return {base + "&SUBSYS_" + model + "C4B9&REV_02", base + "&SUBSYS_" + model + "C4B9",
            base + "&CC_060700", base + "&CC_0607"};
}

TEST(InfModels, DecorationAndRankChooseTheModel) {
    struct Case {
        const char* what;
        sim::InfTarget target;
        std::string model;
        std::string section, description;
        uint32_t rank;
    };
    const std::vector<Case> cases = {
        {"2000 reads the undecorated section", {true, 5, 0}, "8E3A", "Vantor", "generic", 0x2001},
        {"XP the closest version", {true, 5, 1}, "8E3A", "Vantor.NTx86.5.1", "exact", 0x0000},
        {"a device hardware ID meets an INF compatible ID",
         {true, 5, 1},
         "8E51",
         "Vantor.NTx86.5.1",
         "compatible",
         0x1001},
        {"2003 takes 5.1 for 5.2", {true, 5, 2}, "8E3A", "Vantor.NTx86.5.1", "exact", 0x0000},
        {"a server takes its product type",
         {true, 5, 2, 3},
         "8E3A",
         "Vantor.NTx86.5.1.3",
         "server",
         0x0000},
        {"9x reads the undecorated section", {false, 4, 10}, "8E3A", "Vantor", "generic", 0x2001},
    };
    sim::Inf inf = sim::Inf::Read(kModelsInf, "M.INF", 1252, 0x0409, true);
    ASSERT_TRUE(inf.Parsed()) << inf.Problems()[0].Describe();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> hardware = XpIds(c.model);
        auto model = inf.Choose(hardware, sim::PciCompatibleIds(hardware), c.target);
        ASSERT_TRUE(model);
        EXPECT_EQ(model->section, c.section);
        EXPECT_EQ(model->description, c.description);
        EXPECT_EQ(model->rank, c.rank);
        EXPECT_EQ(model->manufacturer, "Vantor");
    }
    EXPECT_EQ(inf.Catalog({true, 5, 1})->name, "x86.cat");
    EXPECT_EQ(inf.Catalog({false, 4, 10})->name, "all.cat");
    EXPECT_FALSE(inf.ReadBy({false, 4, 10}));
    EXPECT_FALSE(inf.Choose({"PCI\\VEN_1234&DEV_0001"}, {}, {true, 5, 1}));
}

TEST(InfIds, PciIdsFollowTheDocumentedForms) {
    EXPECT_EQ(sim::PciCompatibleIds(XpIds("8E3A")),
              (std::vector<std::string>{"PCI\\VEN_C4B9&DEV_8E3A&REV_02", "PCI\\VEN_C4B9&DEV_8E3A",
                                        "PCI\\VEN_C4B9&CC_060700", "PCI\\VEN_C4B9&CC_0607",
                                        "PCI\\VEN_C4B9", "PCI\\CC_060700", "PCI\\CC_0607"}));
    sim::DeviceIds ids = sim::PciIdsOfEnumKey("VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02");
    EXPECT_EQ(ids.hardware,
              (std::vector<std::string>{"PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02",
                                        "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9"}));
    EXPECT_EQ(ids.compatible,
              (std::vector<std::string>{"PCI\\VEN_C4B9&DEV_8E3A&REV_02", "PCI\\VEN_C4B9&DEV_8E3A",
                                        "PCI\\VEN_C4B9"}));
    EXPECT_EQ(sim::PciIdsOfEnumKey("VEN_C4B9&DEV_8E3A").compatible,
              std::vector<std::string>{"PCI\\VEN_C4B9"});
}

// The example package's INF for the machine's Windows, read from the
// machine, with `edit` applied to its text.
void EditInf(sim::Machine& m, const std::string& path,
             const std::function<void(std::string&)>& edit) {
    std::string text = m.files.Find(path)->data.Read();
    edit(text);
    m.files.PutFile(path, text);
}

void Erase(std::string& text, const std::string& what) {
    for (size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
}

TEST(InfPredictions, TheUpdateOnNt) {
    using Kind = sim::UpdatePrediction::Kind;
    const std::string xp = "C:\\VNTR\\VNTRXP.INF";
    // The controller's first hardware ID, which the program passes.
    const std::string id3a = CONTROLLER_ID(FIRST_MODEL) "&SUBSYS_8E3AC4B9&REV_02";
    const std::string id51 = CONTROLLER_ID(SECOND_MODEL) "&SUBSYS_8E51C4B9&REV_02";
    struct Case {
        const char* what;
        std::string os, inf, id;
        std::function<void(sim::Machine&)> change;
        Kind kind;
        uint32_t error;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"XP, first model", "xp", xp, id3a, nullptr, Kind::kInstalls, 0,
         "VNTRXP.INF:15, model Vantor"},
        {"XP, second model", "xp", xp, id51,
         [](sim::Machine& m) { sim::AddController(m, SECOND_MODEL); }, Kind::kInstalls, 0,
         "PCI\\VEN_C4B9&DEV_8E51&SUBSYS_8E51C4B9&REV_02 (hardware ID, rank 0x0000)"},
        {"2000", "2000", "C:\\VNTR\\VNTR2K.INF", id3a, nullptr, Kind::kInstalls, 0,
         "VNTR2K.INF:15"},
        {"no INF", "xp", "C:\\VNTR\\NONE.INF", id3a, nullptr, Kind::kFails, ERROR_FILE_NOT_FOUND,
         "no file"},
        {"a folder", "xp", "C:\\VNTR\\MultiLang", id3a, nullptr, Kind::kFails, ERROR_ACCESS_DENIED,
         "folder"},
        // The update's caller passes "" for a path the machine does not model
        // (a UNC path): no file, not the current directory.
        {"no path", "xp", "", id3a, nullptr, Kind::kFails, ERROR_FILE_NOT_FOUND, "no file"},
        {"an INF that cannot be opened", "xp", xp, id3a,
         [&](sim::Machine& m) { m.files.PutFile(xp, "x", kSharingViolation); }, Kind::kFails,
         kSharingViolation, "cannot be opened"},
        {"an INF not captured", "xp", xp, id3a,
         [&](sim::Machine& m) { m.files.PutFile(xp, sim::FileData::Placeholder(100, 7)); },
         Kind::kUnpredictable, 0, "INF not captured"},
        {"no present device", "xp", xp, id51, nullptr, Kind::kFails, sim::kErrorNoSuchDevinst,
         "no present device"},
        {"the model removed", "xp", xp, id3a,
         [&](sim::Machine& m) {
             EditInf(m, xp, [](std::string& t) {
                 Erase(t, "%DEV_8E3A% = VNTR_CardBus, PCI\\VEN_C4B9&DEV_8E3A\r\n");
                 Erase(t,
                       "%DEV_8E3A% = VNTR_CardBus, "
                       "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\r\n");
             });
         },
         Kind::kFails, sim::kErrorNoCompatDrivers,
         "(models sections: Vantor (line 10)) lists any of PCI\\"},
        {"a 9x-only signature", "xp", xp, id3a,
         [&](sim::Machine& m) {
             EditInf(m, xp,
                     [](std::string& t) { t.replace(t.find("Windows NT"), 10, "Windows 95"); });
         },
         Kind::kFails, sim::kErrorWrongInfStyle, "not one Windows NT reads"},
        {"a syntax error", "xp", xp, id3a,
         [&](sim::Machine& m) {
             EditInf(m, xp, [](std::string& t) { t.replace(t.find("%Vantor% ="), 8, "%Nope%"); });
         },
         Kind::kFails, sim::kErrorGeneralSyntax, "VNTRXP.INF:10: string key %Nope%"},
        {"a copied file missing", "xp", xp, id3a,
         [&](sim::Machine& m) {
             EditInf(m, xp, [](std::string& t) {
                 t += "[VNTR_CardBus.NT]\r\nCopyFiles=Files\r\n[Files]\r\nvntr.sys\r\n"
                      "[SourceDisksNames]\r\n1=Disk,,,\\disk1\r\n[SourceDisksFiles]\r\nvntr.sys=1,"
                      "x86\r\n";
             });
         },
         Kind::kFails, 1223,
         "VNTRXP.INF:43 copies vntr.sys, which is not in the package "
         "(C:\\VNTR\\disk1\\x86\\vntr.sys)"},
        {"a copied file present", "xp", xp, id3a,
         [&](sim::Machine& m) {
             EditInf(m, xp,
                     [](std::string& t) { t += "[VNTR_CardBus.NT]\r\nCopyFiles=@VNTR98.INF\r\n"; });
         },
         Kind::kInstalls, 0, "model Vantor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine m = sim::DefaultMachine(c.os);
        if (c.change) c.change(m);
        sim::UpdatePrediction p = sim::PredictUpdate(m, c.inf, c.id);
        EXPECT_EQ(p.kind, c.kind) << p.why;
        EXPECT_EQ(p.error, c.error) << p.why;
        EXPECT_NE(p.why.find(c.why), std::string::npos) << p.why;
        EXPECT_EQ(p.model.has_value(), c.kind == Kind::kInstalls);
    }
}

TEST(InfPredictions, TheRestartOn9x) {
    const std::string key = "VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02";
    struct Case {
        const char* what;
        std::function<void(sim::Machine&)> change;
        std::string inf;  // "" for none
        std::string why;
    };
    auto stage = [](const std::string& to) {
        return [to](sim::Machine& m) {
            m.files.MakeDirs(sim::FileSystem::Parent(to));
            m.files.PutFile(to, m.files.Find("C:\\VNTR\\VNTR98SE.INF")->data);
        };
    };
    auto other = [](const std::string& path) {
        return [path](sim::Machine& m) {
            sim::MakeKeyPath(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion")
                ->SetValue({"OtherDevicePath", 1, path + '\0'});
        };
    };
    const std::vector<Case> cases = {
        {"nothing staged", nullptr, "",
         "no INF lists PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02, "
         "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9 or "
         "PCI\\VEN_C4B9&DEV_8E3A&REV_02, PCI\\VEN_C4B9&DEV_8E3A, PCI\\VEN_C4B9: Windows asks for a "
         "driver"},
        {"the INF in the INF directory", stage("C:\\WINDOWS\\INF\\VNTR98SE.INF"),
         "C:\\WINDOWS\\INF\\VNTR98SE.INF",
         "PCI\\VEN_C4B9&DEV_8E3A (compatible ID, rank 0x2001) at "
         "C:\\WINDOWS\\INF\\VNTR98SE.INF:14"},
        {"the INF in OtherDevicePath",
         [&](sim::Machine& m) {
             stage("C:\\WINDOWS\\INF\\OTHER\\VNTR98SE.INF")(m);
             other("C:\\WINDOWS\\INF\\OTHER")(m);
         },
         "C:\\WINDOWS\\INF\\OTHER\\VNTR98SE.INF", "rank 0x2001"},
        {"OtherDevicePath naming a folder that is not there", other("D:\\NONE"), "",
         "Windows asks for a driver"},
        {"an NT-only INF is not read",
         [&](sim::Machine& m) {
             m.files.PutFile("C:\\WINDOWS\\INF\\XP.INF",
                             m.files.Find("C:\\VNTR\\VNTRXP.INF")->data);
         },
         "", "Windows asks for a driver"},
        {"an INF not captured",
         [](sim::Machine& m) {
             m.files.PutFile("C:\\WINDOWS\\INF\\X.INF", sim::FileData::Placeholder(10, 1));
         },
         "", "(1 INF files not captured could change this)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine m = sim::DefaultMachine("98se");
        if (c.change) c.change(m);
        sim::RestartPrediction r;
        sim::PredictRestarts(m, {key}, [&](const sim::RestartPrediction& p) { r = p; });
        EXPECT_EQ(r.device, "PCI\\" + key);
        EXPECT_EQ(r.inf.value_or(""), c.inf);
        EXPECT_EQ(r.model.has_value(), !c.inf.empty());
        if (r.model) {
            EXPECT_EQ(*r.model, "Vantor CardBus Controller 8E3A");
        }
        EXPECT_NE(r.why.find(c.why), std::string::npos) << r.why;
    }
}

}  // namespace
