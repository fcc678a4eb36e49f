// The command-line simulator as users and scripts call it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace {

struct Result {
    int status;
    std::string out;
};

// Runs the simulator with stdin from /dev/null (not a terminal) and stderr
// merged into the output.
Result Sim(const std::string& args) {
    std::string command = std::string(VNTR_SIM_BINARY) + " " + args + " </dev/null 2>&1";
    FILE* p = popen(command.c_str(), "r");
    Result r{-1, ""};
    if (!p) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string TempFile(const std::string& name, const std::string& text) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

bool Has(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace

TEST(Cli, help_and_command_line_mistakes) {
    Result help = Sim("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--machine", "--os", "--package", "--cwd", "--locale", "--answer", "--json"})
        EXPECT_TRUE(Has(help.out, option)) << option;

    for (const char* bad : {"--os vista", "--answer maybe", "--locale zz", "--frobnicate",
                            "--os xp --machine x.toml", "--cwd relative", "--machine"}) {
        Result r = Sim(bad);
        EXPECT_EQ(r.status, 2) << bad << ": " << r.out;
        EXPECT_TRUE(Has(r.out, "vntrsetup-sim: ")) << bad;
    }
}

TEST(Cli, a_bad_machine_file_is_reported_with_file_line_and_field_and_nothing_runs) {
    std::string path = TempFile("bad_machine.toml", "os = \"xp\"\n[update]\nresult = \"yes\"\n");
    Result r = Sim("--machine " + path);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.out, path + ":3: update.result: expected true or false")) << r.out;
    EXPECT_FALSE(Has(r.out, "box")) << r.out;

    Result missing = Sim("--machine /no/such/machine.toml");
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(Has(missing.out, "/no/such/machine.toml")) << missing.out;
}

TEST(Cli, answers_come_from_the_command_line_in_order_and_must_suffice) {
    // Windows 98 with a controller asks twice: the update, then the reboot.
    std::string machine = TempFile("no_answers.toml", "os = \"98\"\n");
    Result none = Sim("--machine " + machine);
    EXPECT_EQ(none.status, 2) << none.out;
    EXPECT_TRUE(Has(none.out, "no answer left")) << none.out;

    Result no = Sim("--machine " + machine + " --answer no --answer yes");
    EXPECT_EQ(no.status, 0) << no.out;
    EXPECT_TRUE(Has(no.out, "answer: No")) << no.out;
    EXPECT_TRUE(Has(no.out, "warning: 1 answer(s) left over")) << no.out;
}

TEST(Cli, json_output_is_one_document_with_boxes_changes_and_exit_code) {
    Result r = Sim("--os xp --answer no --json");
    EXPECT_EQ(r.status, 0);
    auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    EXPECT_EQ(doc["exit_code"], 0);
    EXPECT_EQ(doc["status"], "ok");
    ASSERT_EQ(doc["boxes"].size(), 1u);
    EXPECT_EQ(doc["boxes"][0]["answer"], "No");
    EXPECT_EQ(doc["boxes"][0]["title"], "Vantor CardBus Controller Setup Utility");
    EXPECT_TRUE(doc["changes"].empty());
    EXPECT_EQ(doc["machine"]["platform"], 2);
}

TEST(Cli, locale_and_current_directory_options_reach_the_program) {
    Result r = Sim("--locale 0x0407 --cwd 'D:\\Treiber' --answer no");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "D:\\Treiber\\MultiLang\\0407.dat")) << r.out;
    EXPECT_TRUE(Has(r.out,
                    "M\xC3\xB6"
                    "chten Sie die Vantor-CardBus-Controller aktualisieren?\\n"))
        << r.out;
}

TEST(Cli, on_a_terminal_it_asks_each_yes_no_question) {
    // script(1) gives the simulator a terminal; the answers are typed into it.
    std::string command = "printf 'y\\nmaybe\\nn\\n' | script -qec \"" +
                          std::string(VNTR_SIM_BINARY) + " --os 98se\" /dev/null 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    int status = pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    size_t yes = out.find("answer: Yes"), no = out.find("answer: No");
    EXPECT_NE(yes, std::string::npos) << out;
    EXPECT_NE(no, std::string::npos) << out;
    EXPECT_LT(yes, no) << out;
    // "maybe" is no answer: the question is asked again.
    int prompts = 0;
    for (size_t at = out.find("[y/n]"); at != std::string::npos; at = out.find("[y/n]", at + 1))
        ++prompts;
    EXPECT_EQ(prompts, 3) << out;
    EXPECT_TRUE(Has(out, "copy")) << out;
}
