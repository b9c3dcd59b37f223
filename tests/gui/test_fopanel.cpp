// The positioner screen: construction, the catalogue file and type editing.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <wx/font.h>
#include <wx/weakref.h>

#include "../unit/scoped_locale.h"
#include "catalogue.h"
#include "fopanel_fixture.h"

namespace {

using fopanel_test::read_bytes;
using fopanel_test::text;
using fopanel_test::three_types;
using fopanel_test::write_bytes;
using namespace std::chrono_literals;

const char* const created_line = "\nCreated: 2019-20-12 16:52:50";

class Positioner : public fopanel_test::positioner {};

struct control_row {
    const char* name;
    wxPoint position;
    wxSize size;  // wxDefaultSize: not fixed
};

TEST_F(Positioner, BuildsTheControlTableInOrderWithNamesPositionsAndFonts) {
    open();
    const std::vector<control_row> table = {
        {"ID_STATICTEXT1", {1024, 600}, wxDefaultSize},  {"ID_TEXTCTRL2", {760, 272}, {240, 248}},
        {"ID_CHECKBOX1", {768, 544}, {240, 32}},        {"ID_BUTTON1", {896, 464}, {157, 72}},
        {"ID_BUTTON6", {632, 536}, wxDefaultSize},       {"ID_BUTTON2", {904, 240}, wxDefaultSize},
        {"ID_BUTTON3", {960, 208}, wxDefaultSize},       {"ID_BUTTON4", {896, 176}, wxDefaultSize},
        {"ID_TEXTCTRL1", {96, 144}, {152, 48}},          {"ID_TEXTCTRL3", {96, 232}, {152, 37}},
        {"ID_TEXTCTRL4", {96, 304}, {152, 37}},          {"ID_TEXTCTRL5", {96, 376}, {152, 37}},
        {"ID_STATICTEXT2", {24, 160}, wxDefaultSize},    {"ID_STATICTEXT3", {24, 240}, wxDefaultSize},
        {"ID_STATICTEXT4", {24, 312}, wxDefaultSize},    {"ID_STATICTEXT5", {24, 376}, {32, 40}},
        {"ID_TEXTCTRL6", {136, 464}, wxDefaultSize},     {"ID_CHOICE1", {560, 24}, {296, 47}},
        {"ID_STATICTEXT6", {16, 16}, {232, 48}},         {"ID_BUTTON5", {744, 168}, {160, 48}},
        {"ID_STATICTEXT7", {432, 32}, wxDefaultSize},    {"ID_TEXTCTRL7", {280, 144}, {152, 48}},
        {"ID_TEXTCTRL8", {280, 224}, {152, 48}},         {"ID_TEXTCTRL9", {280, 296}, {152, 48}},
        {"ID_TEXTCTRL10", {280, 368}, {152, 48}},        {"ID_STATICTEXT8", {96, 96}, wxDefaultSize},
        {"ID_STATICTEXT9", {280, 96}, wxDefaultSize},    {"ID_BUTTON7", {912, 16}, wxDefaultSize},
        {"ID_BITMAPBUTTON1", {456, 152}, wxDefaultSize}, {"ID_BITMAPBUTTON2", {456, 224}, wxDefaultSize},
        {"ID_BITMAPBUTTON3", {456, 304}, wxDefaultSize}, {"ID_BITMAPBUTTON4", {456, 376}, wxDefaultSize},
        {"ID_TEXTCTRL11", {560, 96}, {296, 48}},         {"ID_BUTTON8", {560, 168}, {160, 48}},
        {"ID_BITMAPBUTTON5", {552, 272}, wxDefaultSize}, {"ID_BUTTON9", {880, 96}, {120, 47}},
    };
    const wxWindowList& children = panel->GetChildren();
    ASSERT_EQ(children.size(), table.size());
    int previous_id = wxID_NONE;
    std::size_t i = 0;
    for (const wxWindow* child : children) {
        const control_row& row = table[i++];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(child->GetName(), row.name);
        EXPECT_EQ(child->GetPosition(), row.position);
        if (row.size != wxDefaultSize) {
            EXPECT_EQ(child->GetSize(), row.size);
        }
        // Ids come from one counter in table order.
        if (i > 1) {
            EXPECT_GT(child->GetId(), previous_id);
        }
        previous_id = child->GetId();
    }
    EXPECT_EQ(FoPanel::ID_BUTTON5, panel->Button5->GetId());
    EXPECT_EQ(panel->GetName(), "wxID_ANY");
    EXPECT_EQ(panel->GetBackgroundColour(), wxColour(255, 230, 172));
    EXPECT_EQ(panel->GetFont().GetPointSize(), 20);
    EXPECT_EQ(panel->GetFont().GetFaceName(), "Sans");
    EXPECT_EQ(panel->Button1->GetFont().GetPointSize(), 16);
    EXPECT_EQ(panel->StaticText6->GetFont().GetPointSize(), 32);
    EXPECT_EQ(panel->TextCtrl11->GetFont().GetPointSize(), 20);

    // Short labels at 20 pt are not cut off.
    for (wxStaticText* label : {panel->StaticText2, panel->StaticText3, panel->StaticText4,
                                panel->StaticText5, panel->StaticText7, panel->StaticText8,
                                panel->StaticText9}) {
        SCOPED_TRACE(label->GetLabel().utf8_string());
        const wxSize needed = label->GetTextExtent(label->GetLabel());
        EXPECT_GE(label->GetSize().GetWidth(), needed.GetWidth());
        EXPECT_GE(label->GetSize().GetHeight(), needed.GetHeight());
    }
}

TEST_F(Positioner, StartsWithTheDesignedVisibilityImagesAndFirstType) {
    open();
    for (wxWindow* hidden : {panel->Button1, panel->Button2, panel->Button3, panel->Button4})
        EXPECT_FALSE(hidden->IsShown()) << hidden->GetName();
    EXPECT_TRUE(panel->CheckBox1->IsShown());
    EXPECT_TRUE(panel->TextCtrl2->IsShown());
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    // The rows read from the board show that they have no reading yet.
    EXPECT_EQ(shown(panel->BitmapButton2), "up-arrow.png");
    for (wxWindow* row : {panel->BitmapButton1, panel->BitmapButton3, panel->BitmapButton4})
        EXPECT_EQ(shown(row), "") << row->GetName();
    EXPECT_EQ(shown(panel->BitmapButton5), "NOK.png");

    EXPECT_EQ(text(panel->TextCtrl2), created_line);
    ASSERT_EQ(panel->Choice1->GetCount(), 3u);
    EXPECT_EQ(panel->Choice1->GetString(0), "T100");
    EXPECT_EQ(panel->Choice1->GetString(1), "T200");
    EXPECT_EQ(panel->Choice1->GetString(2), "Harmadik");
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
    EXPECT_EQ(text(panel->TextCtrl11), "T100");
    // "%.0f": halfway goes to even, a small negative value gives "-0".
    EXPECT_EQ(text(panel->TextCtrl7), "100");
    EXPECT_EQ(text(panel->TextCtrl8), "2");
    EXPECT_EQ(text(panel->TextCtrl9), "-0");
    EXPECT_EQ(text(panel->TextCtrl10), "0");
    EXPECT_EQ(text(panel->TextCtrl1), "");
}

TEST_F(Positioner, MissingFileIsReportedThenCreatedEmptyAndEmptyCatalogueIsHarmless) {
    open(nullptr);
    EXPECT_EQ(text(panel->TextCtrl2), std::string("\nSettings file not exist: Settings.dat") + created_line);
    EXPECT_EQ(panel->Choice1->GetCount(), 0u);
    for (wxTextCtrl* field : {panel->TextCtrl11, panel->TextCtrl7, panel->TextCtrl8, panel->TextCtrl9,
                              panel->TextCtrl10})
        EXPECT_EQ(text(field), "");

    // Every handler and tick with nothing to select.
    panel->TextCtrl1->SetValue("5");
    panel->TextCtrl11->SetValue("new name");
    gui_test::click(panel->Button5);  // "Mentes"
    gui_test::click(panel->Button8);  // "Atnevezes"
    gui_test::choose(panel->Choice1, 0);
    for (int tick = 0; tick < 3; ++tick) panel->Render();
    EXPECT_FALSE(std::filesystem::exists("Settings.dat")) << "\"Mentes\" saved an empty catalogue";
    EXPECT_EQ(panel->Choice1->GetCount(), 0u);
    EXPECT_EQ(text(panel->TextCtrl7), "");
    EXPECT_EQ(shown(panel->BitmapButton2), "up-arrow.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "NOK.png");
    EXPECT_EQ(panel->selected_index, 0);
    EXPECT_EQ(text(panel->TextCtrl1), "") << "no board: no X reading";

    panel->TextCtrl1->SetValue("5");
    gui_test::click(panel->Button9);  // "Uj tipus" starts the catalogue at ID 1
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
    EXPECT_EQ(text(panel->TextCtrl7), "5");
    EXPECT_EQ(read_bytes("Settings.dat"), "{\n    \"ShaftTypes\": [\n        {\n            \"ID\": 1,\n"
                                          "            \"name\": \"new name\",\n            \"X\": 5.0,\n"
                                          "            \"Y\": 0.0,\n            \"alpha\": 0.0,\n"
                                          "            \"beta\": 0.0\n        }\n    ]\n}");
}

TEST_F(Positioner, MentesTeachesTheThirdTypeOnlyFromFieldsHoldingANumber) {
    // A decimal-comma station: "12,7" and "1.5e3" both read whole.
    ScopedLocale comma("de_DE.UTF-8");
    open();
    gui_test::choose(panel->Choice1, 2);
    EXPECT_EQ(panel->selected_index, 2);
    EXPECT_EQ(text(panel->TextCtrl11), "Harmadik");
    EXPECT_EQ(text(panel->TextCtrl10), "-1000");

    // X has no reading yet; A was mistyped.
    panel->TextCtrl3->SetValue("12,7");
    panel->TextCtrl4->SetValue("42abc");
    panel->TextCtrl5->SetValue(" 1.5e3 ");
    panel->TextCtrl8->SetValue("typed into a target");  // discarded
    gui_test::click(panel->Button5);
    EXPECT_EQ(text(panel->TextCtrl7), "500");
    EXPECT_EQ(text(panel->TextCtrl8), "13");
    EXPECT_EQ(text(panel->TextCtrl9), "1000");
    EXPECT_EQ(text(panel->TextCtrl10), "1500");
    EXPECT_EQ(text(panel->TextCtrl2),
              std::string(created_line) + "\nErvenytelen ertek, a cel nem valtozott: X, A");

    const std::string three = three_types;
    const std::string expected = three.substr(0, three.find("        {\n            \"ID\": -3")) +
                                 "        {\n            \"ID\": -3,\n            \"name\": \"Harmadik\",\n"
                                 "            \"X\": 500.0,\n            \"Y\": 12.699999809265137,\n"
                                 "            \"alpha\": 1000.0,\n            \"beta\": 1500.0\n        }\n    ]\n}";
    EXPECT_EQ(read_bytes("Settings.dat"), expected);
}

TEST_F(Positioner, UjTipusAppendsTheNextIdSelectsItAndSavesAtOnce) {
    open();
    gui_test::choose(panel->Choice1, 1);
    panel->TextCtrl11->SetValue("Uj tengely");
    panel->TextCtrl1->SetValue("1520");
    panel->TextCtrl4->SetValue("12,5");
    panel->TextCtrl5->SetValue("abc");
    gui_test::click(panel->Button9);
    ASSERT_EQ(panel->Choice1->GetCount(), 4u);
    EXPECT_EQ(panel->Choice1->GetString(3), "Uj tengely");
    EXPECT_EQ(panel->Choice1->GetSelection(), 3);
    EXPECT_EQ(panel->selected_index, 3);
    EXPECT_EQ(text(panel->TextCtrl11), "Uj tengely");
    EXPECT_EQ(text(panel->TextCtrl7), "1520");
    EXPECT_EQ(text(panel->TextCtrl8), "0");
    EXPECT_EQ(text(panel->TextCtrl9), "12");
    EXPECT_EQ(text(panel->TextCtrl2), std::string(created_line) + "\nErvenytelen ertek, a cel nem valtozott: Y, B");
    const std::string three = three_types;
    const std::string with_new = three.substr(0, three.size() - 8) +
                                 ",\n        {\n            \"ID\": 3,\n            \"name\": \"Uj tengely\",\n"
                                 "            \"X\": 1520.0,\n            \"Y\": 0.0,\n            \"alpha\": 12.5,\n"
                                 "            \"beta\": 0.0\n        }\n    ]\n}";
    EXPECT_EQ(read_bytes("Settings.dat"), with_new);

    // The name is taken now: the second type is named after its ID.
    gui_test::click(panel->Button9);
    ASSERT_EQ(panel->Choice1->GetCount(), 5u);
    EXPECT_EQ(panel->Choice1->GetString(4), "Uj tipus 4");
    EXPECT_EQ(panel->Choice1->GetSelection(), 4);
    EXPECT_EQ(text(panel->TextCtrl11), "Uj tipus 4");
    EXPECT_EQ(panel->types[4].ID, 4);
    EXPECT_NE(read_bytes("Settings.dat").find("\"ID\": 4,\n            \"name\": \"Uj tipus 4\""), std::string::npos);
}

// Entries in the choice's popup menu (GTK keeps a long list out of it until it is opened).
guint menu_entries(wxChoice* choice) {
    AtkObject* popup = gtk_combo_box_get_popup_accessible(GTK_COMBO_BOX(choice->GetHandle()));
    GList* items = gtk_container_get_children(GTK_CONTAINER(gtk_accessible_get_widget(GTK_ACCESSIBLE(popup))));
    const guint count = g_list_length(items);
    g_list_free(items);
    return count;
}

TEST_F(Positioner, ALongListIsWholeInTheChoiceAndInItsPopupWhenOpened) {
    std::vector<Type> types(600);
    for (std::size_t i = 0; i < types.size(); ++i) types[i].name = wxString::Format("T%zu", i);
    open(catalogue::to_json(types).c_str());
    ASSERT_EQ(panel->Choice1->GetCount(), 600u);
    EXPECT_EQ(menu_entries(panel->Choice1), 0u);
    gui_test::choose(panel->Choice1, 599);
    panel->TextCtrl11->SetValue("Utolso");
    gui_test::click(panel->Button8);
    gui_test::click(panel->Button9);
    EXPECT_EQ(panel->Choice1->GetString(599), "Utolso");
    EXPECT_EQ(panel->Choice1->GetString(600), "Uj tipus 1");
    EXPECT_EQ(panel->Choice1->GetSelection(), 600);

    GtkComboBox* combo = GTK_COMBO_BOX(panel->Choice1->GetHandle());
    gtk_combo_box_popup(combo);
    EXPECT_TRUE(gui_test::pump_until([&] { return menu_entries(panel->Choice1) == 601u; }, 20000ms));
    gtk_combo_box_popdown(combo);
    EXPECT_TRUE(gui_test::pump_until([&] { return menu_entries(panel->Choice1) == 0u; }));
    EXPECT_EQ(panel->Choice1->GetSelection(), 600);
}

TEST_F(Positioner, RenameAcceptsEmptyAndDuplicateNamesAndReachesTheFileOnClose) {
    open();
    panel->TextCtrl11->SetValue("");
    gui_test::click(panel->Button8);
    ASSERT_EQ(panel->Choice1->GetCount(), 3u);
    EXPECT_EQ(panel->Choice1->GetString(0), "");
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
    EXPECT_EQ(text(panel->TextCtrl7), "100");

    gui_test::choose(panel->Choice1, 1);
    panel->TextCtrl11->SetValue("Dupla");
    gui_test::click(panel->Button8);
    gui_test::choose(panel->Choice1, 2);
    panel->TextCtrl11->SetValue("Dupla");
    gui_test::click(panel->Button8);
    EXPECT_EQ(panel->Choice1->GetString(1), "Dupla");
    EXPECT_EQ(panel->Choice1->GetString(2), "Dupla");
    EXPECT_EQ(panel->Choice1->GetSelection(), 2);
    gui_test::choose(panel->Choice1, 1);  // by position, not by name
    EXPECT_EQ(panel->selected_index, 1);
    EXPECT_EQ(text(panel->TextCtrl7), "200");

    // A name longer than 256 characters is refused with a line, the old name kept.
    panel->TextCtrl11->SetValue(wxString('n', 257));
    gui_test::click(panel->Button8);
    EXPECT_EQ(panel->Choice1->GetString(1), "Dupla");
    EXPECT_NE(text(panel->TextCtrl2).find("\nA nev tul hosszu, nem valtozott: 257 karakter (legfeljebb 256)"),
              std::string::npos);

    EXPECT_EQ(read_bytes("Settings.dat"), three_types) << "rename saved at once";
    gui_test::close_frame(frame);
    frame = nullptr;
    const std::string saved = read_bytes("Settings.dat");
    EXPECT_NE(saved.find("\"name\": \"\","), std::string::npos) << saved;
    EXPECT_EQ(saved.find("T200"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Harmadik"), std::string::npos) << saved;
}

TEST_F(Positioner, IoMonitorButtonSwitchesScreensAndARenameSurvivesTheWayBack) {
    open();
    gui_test::choose(panel->Choice1, 1);
    panel->TextCtrl11->SetValue("Atnevezett");
    gui_test::click(panel->Button8);

    gui_test::click(panel->Button1);  // hidden, but bound
    EXPECT_EQ(dynamic_cast<FoPanel*>(frame->current_panel), nullptr);
    ASSERT_TRUE(gui_test::pump_until([&] { return frame->GetChildren().size() == 1; }))
        << "the old positioner was not destroyed";
    EXPECT_NE(read_bytes("Settings.dat").find("Atnevezett"), std::string::npos);
    frame->SwitchPanel(0);
    panel = dynamic_cast<FoPanel*>(frame->current_panel);
    ASSERT_NE(panel, nullptr);
    panel->timer->Stop();
    EXPECT_EQ(panel->Choice1->GetString(1), "Atnevezett");
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
    EXPECT_EQ(text(panel->TextCtrl11), "T100");
    EXPECT_EQ(text(panel->TextCtrl2), created_line);
}

TEST_F(Positioner, MissingImagesLeaveButtonsEmptyWithoutDialogsOrCrashes) {
    for (const char* image : {"up-arrow.png", "down-arrow.png", "ok-mark.png", "OK.png", "NOK.png"})
        std::filesystem::remove(dir.file(image));
    for (int word = 0; word < 4; ++word) emu_board().set_sensor_word(word / 2, word % 2, 0);
    emu_board().set_encoder(100);
    open(fopanel_test::three_types, true);
    EXPECT_FALSE(panel->BitmapButton2->GetBitmapLabel().IsOk());
    EXPECT_FALSE(panel->BitmapButton5->GetBitmapLabel().IsOk());
    panel->TextCtrl3->SetValue("2");
    for (int tick = 0; tick < 3; ++tick) panel->Render();
    EXPECT_TRUE(panel->all_ok);
    emu_board().set_encoder(0);
    for (int tick = 0; tick < 2; ++tick) panel->Render();
    EXPECT_FALSE(panel->row_ok[0]);
    EXPECT_FALSE(panel->all_ok);
    EXPECT_FALSE(panel->BitmapButton1->GetBitmapLabel().IsOk());
}

TEST_F(Positioner, ACatalogueCopiedInWhileThePanelRunsIsNeverReplaced) {
    open(nullptr);
    write_bytes(dir.file("Settings.dat"), three_types);  // the operator's recovery copy
    panel->SaveSettings();
    const std::string log = text(panel->TextCtrl2);
    EXPECT_NE(log.find("\nSettings file changed on disk, kept: Settings.dat; the station's catalogue is in: "
                       "Settings.dat.station-copy-"),
              std::string::npos)
        << log;
    gui_test::close_frame(frame);
    frame = nullptr;
    EXPECT_EQ(read_bytes("Settings.dat"), three_types);
    int copies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        copies += entry.path().filename().string().rfind("Settings.dat.station-copy-", 0) == 0 &&
                  read_bytes(entry.path().string()) == "{\n    \"ShaftTypes\": []\n}";
    EXPECT_GE(copies, 1) << "the station's own (empty) catalogue was not kept beside";
}

TEST_F(Positioner, CloseAsksTheFrameToCloseAndSaves) {
    open();
    wxWeakRef<Kelpon_v6Frame> alive(frame);
    gui_test::click(panel->Button7);
    ASSERT_TRUE(gui_test::pump_until([&] { return !alive; }, 5000ms));
    frame = nullptr;
    // The shutdown save rewrites the file in the writer's own layout.
    EXPECT_EQ(read_bytes("Settings.dat"), three_types);
}

}  // namespace
