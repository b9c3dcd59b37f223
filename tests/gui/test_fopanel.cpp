// The positioner screen: the catalogue file and type editing along one run each.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtk/gtk.h>

#include "../unit/scoped_locale.h"
#include "catalogue.h"
#include "fopanel_fixture.h"
#include "sqlite_rows.h"

namespace {

using fopanel_test::read_bytes;
using fopanel_test::text;
using fopanel_test::three_types;
using namespace std::chrono_literals;

const std::string created_line = "\nCreated: 2019-20-12 16:52:50";

class Positioner : public fopanel_test::positioner {
protected:
    std::string targets() const {
        return text(panel->TextCtrl7) + "|" + text(panel->TextCtrl8) + "|" + text(panel->TextCtrl9) + "|" +
               text(panel->TextCtrl10);
    }
};

Type make_type(std::int32_t id, const char* name, float x, float y, float alpha, float beta) {
    Type type;
    type.ID = id, type.name = name, type.X = x, type.Y = y, type.alpha = alpha, type.beta = beta;
    return type;
}

TEST_F(Positioner, SelectsTeachesAddsAndRenamesTypesAndEveryChangeReachesTheFile) {
    ScopedLocale comma("de_DE.UTF-8");  // a decimal-comma station: "12,7" and "1.5e3" both read whole
    open();
    ASSERT_EQ(panel->Choice1->GetCount(), 3u);
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
    EXPECT_EQ(targets(), "100|2|-0|0");  // "%.0f": halfway goes to even, a small negative value gives "-0"

    // "Mentes" on the third type: X has no reading yet, A was mistyped; both keep their targets.
    gui_test::choose(panel->Choice1, 2);
    EXPECT_EQ(text(panel->TextCtrl11), "Harmadik");
    panel->TextCtrl3->SetValue("12,7");
    panel->TextCtrl4->SetValue("42abc");
    panel->TextCtrl5->SetValue(" 1.5e3 ");
    panel->TextCtrl8->SetValue("typed into a target");  // discarded
    gui_test::click(panel->Button5);
    EXPECT_EQ(targets(), "500|13|1000|1500");
    EXPECT_EQ(text(panel->TextCtrl2), created_line + "\nErvenytelen ertek, a cel nem valtozott: X, A");

    // "Uj tipus": the next ID, the typed name, taught from the fields, selected, saved at once.
    gui_test::choose(panel->Choice1, 1);
    panel->TextCtrl11->SetValue("Uj tengely");
    panel->TextCtrl1->SetValue("1520");
    panel->TextCtrl4->SetValue("12,5");
    panel->TextCtrl5->SetValue("abc");
    gui_test::click(panel->Button9);
    EXPECT_EQ(panel->Choice1->GetSelection(), 3);
    EXPECT_EQ(targets(), "1520|13|12|0");
    EXPECT_THAT(text(panel->TextCtrl2), testing::EndsWith("\nErvenytelen ertek, a cel nem valtozott: B"));
    gui_test::click(panel->Button9);  // the name is taken now: named after its ID
    ASSERT_EQ(panel->Choice1->GetCount(), 5u);
    EXPECT_EQ(panel->Choice1->GetString(4), "Uj tipus 4");
    EXPECT_EQ(panel->Choice1->GetSelection(), 4);
    EXPECT_EQ(text(panel->TextCtrl11), "Uj tipus 4");
    std::vector<Type> expected = catalogue::from_json(three_types).types;
    expected[2] = make_type(-3, "Harmadik", 500.0f, 12.7f, 1000.0f, 1500.0f);
    expected.push_back(make_type(3, "Uj tengely", 1520.0f, 12.7f, 12.5f, 0.0f));
    expected.push_back(make_type(4, "Uj tipus 4", 1520.0f, 12.7f, 12.5f, 0.0f));
    EXPECT_EQ(read_bytes("Settings.dat"), catalogue::to_json(expected));

    // Renames: a duplicate name is taken; a blank one and one above 256 characters are refused.
    gui_test::choose(panel->Choice1, 0);
    panel->TextCtrl11->SetValue(" ");
    gui_test::click(panel->Button8);
    EXPECT_THAT(text(panel->TextCtrl2), testing::EndsWith("\nA nev ures, nem valtozott"));
    gui_test::choose(panel->Choice1, 1);
    panel->TextCtrl11->SetValue("Uj tengely");
    gui_test::click(panel->Button8);
    panel->TextCtrl11->SetValue(wxString('n', 257));
    gui_test::click(panel->Button8);
    EXPECT_THAT(text(panel->TextCtrl2), testing::EndsWith("\nA nev tul hosszu, nem valtozott: 257 karakter (legfeljebb 256)"));
    EXPECT_EQ(panel->Choice1->GetString(0), "T100");
    EXPECT_EQ(panel->Choice1->GetString(1), "Uj tengely");
    gui_test::choose(panel->Choice1, 3);  // by position, not by name
    EXPECT_EQ(text(panel->TextCtrl7), "1520");

    // Leaving the screen saves the renames; the screen built again shows them.
    gui_test::click(panel->Button1);
    ASSERT_TRUE(gui_test::pump_until([&] { return frame->GetChildren().size() == 1; }));
    expected[1].name = "Uj tengely";
    EXPECT_EQ(read_bytes("Settings.dat"), catalogue::to_json(expected));
    frame->SwitchPanel(0);
    panel = dynamic_cast<FoPanel*>(frame->current_panel);
    ASSERT_NE(panel, nullptr);
    panel->timer->Stop();
    EXPECT_EQ(panel->Choice1->GetString(1), "Uj tengely");
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
}

TEST_F(Positioner, StartsWithoutAFileAndNeverReplacesOneThatAppears) {
    open(nullptr);
    EXPECT_EQ(text(panel->TextCtrl2), "\nSettings file not exist: Settings.dat" + created_line);
    panel->TextCtrl1->SetValue("5");
    panel->TextCtrl11->SetValue("new name");
    gui_test::click(panel->Button5);  // every handler and tick with nothing to select
    gui_test::click(panel->Button8);
    gui_test::choose(panel->Choice1, 0);
    for (int tick = 0; tick < 3; ++tick) panel->Render();
    EXPECT_FALSE(std::filesystem::exists("Settings.dat")) << "\"Mentes\" saved an empty catalogue";
    EXPECT_EQ(targets(), "|||");

    fopanel_test::write_bytes("Settings.dat", three_types);  // the operator's recovery copy
    panel->TextCtrl1->SetValue("5");  // the ticks cleared it: no board, no reading
    gui_test::click(panel->Button9);  // "Uj tipus" starts the catalogue at ID 1
    EXPECT_EQ(panel->Choice1->GetSelection(), 0);
    EXPECT_EQ(targets(), "5|0|0|0");
    EXPECT_THAT(text(panel->TextCtrl2), testing::HasSubstr("\nSettings file changed on disk, kept: Settings.dat; "
                                                           "the station's catalogue is in: Settings.dat.station-copy-"));
    gui_test::close_frame(frame);
    frame = nullptr;
    EXPECT_EQ(read_bytes("Settings.dat"), three_types);
    // The records name the copy that holds the new type; the shutdown save went to it too.
    const auto copy = sqlite_rows("Records.db", "SELECT substr(detail, 20) FROM events WHERE field = 'type'");
    ASSERT_THAT(copy, testing::ElementsAre(testing::StartsWith("Settings.dat.station-copy-")));
    EXPECT_EQ(read_bytes(copy[0]), catalogue::to_json({make_type(1, "new name", 5.0f, 0, 0, 0)}));
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
    EXPECT_EQ(menu_entries(panel->Choice1), 0u);
    gui_test::choose(panel->Choice1, 599);
    panel->TextCtrl11->SetValue("Utolso");
    gui_test::click(panel->Button8);
    gui_test::click(panel->Button9);
    EXPECT_EQ(panel->Choice1->GetString(599), "Utolso");
    EXPECT_EQ(panel->Choice1->GetString(600), "Uj tipus 1");
    GtkComboBox* combo = GTK_COMBO_BOX(panel->Choice1->GetHandle());
    gtk_combo_box_popup(combo);
    EXPECT_TRUE(gui_test::pump_until([&] { return menu_entries(panel->Choice1) == 601u; }, 20000ms));
    gtk_combo_box_popdown(combo);
    EXPECT_TRUE(gui_test::pump_until([&] { return menu_entries(panel->Choice1) == 0u; }));
    EXPECT_EQ(panel->Choice1->GetSelection(), 600);
}

}  // namespace
