// Start-up: the caption, the message table and the first question, over
// simulated machines.
#include <string>

#include "res/ids.h"
#include "tests/unit/flow.h"

namespace {

using flow::kConfirm;
using flow::kNoController;

const char kCaption[] = "Vantor CardBus Controller Setup Utility";

// An XP machine whose message file for `locale` holds `bytes`. No
// controller, so a Yes leads to the NT flow's "no controller" message.
sim::Machine WithMessageFile(const sim::Bytes& bytes, uint32_t locale = 0x0409) {
    sim::Machine m = flow::On("xp");
    m.locale = locale;
    char name[64];
    snprintf(name, sizeof name, "C:\\VNTR\\MultiLang\\%04x.dat", locale);
    m.files.PutFile(name, bytes);
    return m;
}

std::string FirstBoxText(const sim::Machine& m) {
    sim::Outcome o = flow::Run(m);
    EXPECT_FALSE(o.Boxes().empty());
    return o.Boxes().empty() ? "" : flow::Str(o.Boxes()[0]["args"]["text"]);
}

}  // namespace

TEST(Startup, asks_first_with_the_caption_as_title_and_yes_no_buttons) {
    sim::Outcome o = flow::Run(flow::On("xp"));
    auto boxes = o.Boxes();
    ASSERT_FALSE(boxes.empty());
    const auto& box = boxes[0];
    EXPECT_EQ(flow::Str(box["args"]["caption"]), kCaption);
    EXPECT_EQ(flow::Str(box["args"]["text"]), kConfirm);
    EXPECT_EQ(box["args"]["type"], 4);
    EXPECT_EQ(box["args"]["owner"], "NULL");
}

TEST(Startup, no_ends_before_the_version_is_queried) {
    sim::Machine m = flow::On("xp");
    sim::AddController(m);
    m.answers = {false};
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(o.Boxes().size(), 1u);
    EXPECT_EQ(flow::Calls(o, "GetVersionExA"), 0);
    EXPECT_EQ(flow::Calls(o, "LoadLibraryA"), 0);
    EXPECT_TRUE(o.Changes().empty());
}

TEST(Startup, other_platforms_end_silently_after_the_question) {
    for (uint32_t platform : {0u, 3u}) {
        sim::Machine m = flow::On("xp");
        m.os.platform = platform;
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(o.Boxes().size(), 1u) << "platform " << platform;
        EXPECT_EQ(flow::Calls(o, "GetVersionExA"), 1);
        EXPECT_EQ(flow::Calls(o, "LoadLibraryA"), 0);
        EXPECT_TRUE(o.Changes().empty());
    }
}

TEST(Caption, is_cut_to_99_characters_and_missing_means_empty) {
    sim::Machine m = flow::On("xp");
    m.answers = {false};
    m.strings[IDS_CAPTION] = std::string(120, 'C');
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::Str(o.Boxes()[0]["args"]["caption"]), std::string(99, 'C'));

    m.strings[IDS_CAPTION] = std::string(99, 'D');
    EXPECT_EQ(flow::Str(flow::Run(m).Boxes()[0]["args"]["caption"]), std::string(99, 'D'));

    m.strings.erase(IDS_CAPTION);
    sim::Outcome none = flow::Run(m);
    ASSERT_EQ(none.Boxes().size(), 1u);
    EXPECT_EQ(flow::Str(none.Boxes()[0]["args"]["caption"]), "");
}

TEST(Messages, built_in_english_without_a_message_file) {
    sim::Machine m = flow::On("xp");  // no controller: message 1 at the end
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kNoController}));
    EXPECT_TRUE(o.summary["allocations_left"].empty());
    // The load asks for the locale first, then for the directory.
    const auto& order = o.summary["call_order"];
    EXPECT_EQ(
        std::vector<std::string>(order.begin(), order.begin() + 3),
        (std::vector<std::string>{"LoadStringA", "GetSystemDefaultLCID", "GetCurrentDirectoryA"}));
}

TEST(Messages, five_lines_keep_their_line_ends_and_are_released) {
    sim::Machine m = WithMessageFile("m0\r\nm1\r\nm2\r\nm3\r\nm4\r\n");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{"m4\n", "m1\n"}));
    EXPECT_TRUE(o.summary["allocations_left"].empty());
    EXPECT_EQ(o.summary["files_open"], 0);
}

TEST(Messages, seven_lines_only_the_first_five_are_read) {
    sim::Machine m = WithMessageFile("a\nb\nc\nd\ne\nf\ng\n");
    EXPECT_EQ(flow::BoxTexts(flow::Run(m)), (std::vector<std::string>{"e\n", "b\n"}));
}

TEST(Messages, three_lines_leave_the_question_absent_and_yes_still_proceeds) {
    // The last line has no line end, and keeps none.
    sim::Machine m = WithMessageFile("zero\nno controller\ntwo");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{"<absent>", "no controller\n"}));
    EXPECT_EQ(flow::Calls(o, "GetVersionExA"), 1);

    sim::Machine last = WithMessageFile("zero\none\ntwo\nthree\nfour");
    EXPECT_EQ(FirstBoxText(last), "four");
}

TEST(Messages, an_empty_file_leaves_every_entry_absent) {
    sim::Machine m = WithMessageFile("");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{"<absent>", "<absent>"}));
    EXPECT_TRUE(o.summary["allocations_left"].empty());
}

TEST(Messages, long_lines_are_read_in_pieces_of_255_bytes) {
    std::string line300(300, 'x');
    // A 300-byte first line: message 0 is 255 bytes, message 1 the other 45
    // with the line end; the file's lines shift down by one.
    sim::Machine m = WithMessageFile(line300 + "\r\nl1\r\nl2\r\nl3\r\n");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{"l3\n", std::string(45, 'x') + "\n"}));

    // Exactly 255 bytes: a further entry holding only the line end.
    std::string line255(255, 'y');
    sim::Machine exact = WithMessageFile("a\n" + line255 + "\nc\nd\ne\n");
    EXPECT_EQ(flow::BoxTexts(flow::Run(exact)), (std::vector<std::string>{"d\n", line255}));
    EXPECT_EQ(FirstBoxText(WithMessageFile("a\nb\nc\n" + line255 + "\n")), "\n");
}

TEST(Messages, text_mode_reads_crlf_as_lf_keep_lone_cr_and_stop_at_ctrl_z) {
    EXPECT_EQ(FirstBoxText(WithMessageFile("0\r\n1\r\n2\r\n3\r\nend\rmid\r\n")), "end\rmid\n");
    EXPECT_EQ(FirstBoxText(WithMessageFile("0\n1\n2\n3\nfour\r\r\n")), "four\r\n");
    // Ctrl-Z ends the file: the fifth line is cut there, later ones vanish.
    EXPECT_EQ(FirstBoxText(WithMessageFile("0\n1\n2\n3\nfo\x1aur\n5\n")), "fo");
    EXPECT_EQ(FirstBoxText(WithMessageFile("0\n1\n\x1a"
                                           "2\n3\n4\n")),
              "<absent>");
}

TEST(Messages, a_nul_cuts_the_message_and_drops_the_rest_of_its_line) {
    sim::Bytes file = "0\n1\n2\n3\nfo";
    file += '\0';
    file += "ur\nextra\n";
    EXPECT_EQ(FirstBoxText(WithMessageFile(file)), "fo");
}

TEST(Messages, locale_is_formatted_in_lower_case_hex_of_at_least_four_digits) {
    sim::Machine french = flow::On("xp");
    french.locale = 0x040C;
    sim::Outcome o = flow::Run(french);
    EXPECT_EQ(flow::Str(o.Of("open")[0]["args"]["path"]), "C:\\VNTR\\MultiLang\\040c.dat");
    EXPECT_EQ(flow::Str(o.Boxes()[0]["args"]["text"]),
              "Voulez-vous mettre \xE0 jour les contr\xF4leurs CardBus Vantor ?\n");

    // A locale carrying sort bits has five digits.
    sim::Machine sorted = WithMessageFile("0\n1\n2\n3\nsorted\n", 0x10407);
    sim::Outcome s = flow::Run(sorted);
    EXPECT_EQ(flow::Str(s.Of("open")[0]["args"]["path"]), "C:\\VNTR\\MultiLang\\10407.dat");
    EXPECT_EQ(flow::Str(s.Boxes()[0]["args"]["text"]), "sorted\n");
}

TEST(Messages, a_failed_line_allocation_falls_back_to_english_and_frees_what_was_read) {
    sim::Machine base = WithMessageFile("0\n1\n2\n3\nvier\n");
    for (uint32_t nth = 1; nth <= 5; ++nth) {
        sim::Machine m = base;
        m.faults = {{"LocalAlloc", nth, 1, ERROR_NOT_ENOUGH_MEMORY}};
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kNoController}))
            << "allocation " << nth;
        EXPECT_TRUE(o.summary["allocations_left"].empty()) << "allocation " << nth;
        EXPECT_TRUE(o.Of("bad_free").empty());
    }
}

TEST(Messages, an_unreadable_file_or_unknown_directory_selects_the_built_in_texts) {
    sim::Machine m = WithMessageFile("0\n1\n2\n3\nlocal\n");
    m.faults = {{"fopen", 1, 1, ERROR_ACCESS_DENIED}};
    EXPECT_EQ(FirstBoxText(m), kConfirm);

    sim::Machine no_dir = WithMessageFile("0\n1\n2\n3\nlocal\n");
    no_dir.faults = {{"GetCurrentDirectoryA", 1, 1, ERROR_ACCESS_DENIED}};
    EXPECT_EQ(FirstBoxText(no_dir), kConfirm);
}
