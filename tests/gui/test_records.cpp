// The positioner's production records on the real screen with the emulated board.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "fopanel_fixture.h"
#include "sqlite_rows.h"

namespace {

class PositionerRecords : public fopanel_test::positioner {
protected:
    // Ticks with the encoder at x: the X field takes a reading once two agree.
    void ticks(std::uint32_t x, int count) {
        emu_board().set_encoder(x);
        for (int i = 0; i < count; ++i) panel->Render();
    }
};

TEST_F(PositionerRecords, PositioningsCatalogueChangesAndLinkEventsAreRecorded) {
    for (int word = 0; word < 4; ++word) emu_board().set_sensor_word(word / 2, word % 2, 0);
    open(fopanel_test::three_types, true);
    panel->TextCtrl3->SetValue("2");
    ticks(100, 3);  // in position: X 100, Y 2, A 0, B 0 against 100, 2.5, -0.4, 0
    EXPECT_TRUE(panel->all_ok);
    ticks(150, 3);  // out: the jump leaves X without a settled reading
    EXPECT_FALSE(panel->all_ok);
    ticks(105, 3);  // in again
    EXPECT_TRUE(panel->all_ok);
    ticks(106, 3);  // moving inside the band records nothing

    panel->TextCtrl11->SetValue("Uj nev");
    gui_test::click(panel->Button8);
    gui_test::click(panel->Button5);  // X 100 -> 106, Y 2.5 -> 2, alpha -0.4 -> 0; beta stays 0
    panel->TextCtrl11->SetValue("Uj");
    gui_test::click(panel->Button9);  // a new type taught from the same actual values
    gui_test::choose(panel->Choice1, 1);
    panel->Render();  // out of position: recorded against the type that was in position
    plug(false);
    panel->Render();
    plug(true);
    panel->Render();
    gui_test::choose(panel->Choice1, 3);
    ticks(106, 4);  // in position for the new type
    std::remove("Settings.dat");
    gui_test::close_frame(frame);  // leaves the position; the shutdown save makes a new catalogue file
    frame = nullptr;

    const std::string t100 = "1|T100|100.0|2.5|-0.400000005960464|0.0|";
    const std::string renamed = "catalogue|1|Uj nev|106.0|2.0|0.0|0.0|||||";
    const std::string uj = "3|Uj|106.0|2.0|0.0|0.0|", saved = ": saved in Settings.dat";
    const std::string columns = "kind, type_id, type_name, target_x, target_y, target_alpha, target_beta, actual_x,"
                                " actual_y, actual_alpha, actual_beta, field, old_value, new_value, detail";
    EXPECT_EQ(sqlite_rows(dir.file("Records.db"), "SELECT " + columns + " FROM events WHERE field IS NOT 'file' ORDER BY id"),
              (std::vector<std::string>{
                  "link||||||||||||||board connected", "positioned|" + t100 + "100.0|2.0|0.0|0.0||||",
                  "left|" + t100 + "|2.0|0.0|0.0||||", "positioned|" + t100 + "105.0|2.0|0.0|0.0||||",
                  "catalogue|1|Uj nev|100.0|2.5|-0.400000005960464|0.0|||||name|T100|Uj nev|Atnevezes",
                  renamed + "X|100|106|Mentes" + saved, renamed + "Y|2.5|2|Mentes" + saved,
                  renamed + "alpha|-0.4|0|Mentes" + saved, "catalogue|" + uj + "||||type||Uj|Uj tipus" + saved,
                  "left|" + t100 + "106.0|2.0|0.0|0.0||||",
                  "link||||||||||||||board lost", "link||||||||||||||readings stopped: board not connected",
                  "link||||||||||||||board connected", "link||||||||||||||readings resumed",
                  "positioned|" + uj + "106.0|2.0|0.0|0.0||||", "left|" + uj + "106.0|2.0|0.0|0.0||||positioner closed",
                  "catalogue|||||||||||catalogue||Settings.dat|created, 4 types"}));
    // Each save (two commands and the shutdown) puts the file's bytes in the journal.
    std::ifstream file("Settings.dat", std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(file), {});
    EXPECT_EQ(sqlite_rows(dir.file("Records.db"), "SELECT (SELECT count(*) FROM events WHERE field = 'file'), detail,"
                                                  " new_value, content FROM events WHERE field = 'file' ORDER BY id DESC LIMIT 1"),
              std::vector<std::string>{"3|Settings.dat|" + records::sha256_hex(bytes) + "|" + bytes});
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(sqlite_rows(dir.file("Records.db"), "SELECT count(*), min(ts_utc GLOB '20[0-9][0-9]-[01][0-9]-[0-3][0-9]"
                                                  "T[0-2][0-9]:[0-5][0-9]:[0-6][0-9].[0-9][0-9][0-9]Z'), min(host), "
                                                  "max(host) FROM events"),
              std::vector<std::string>{"20|1|" + std::string(host) + "|" + host});
}

}  // namespace
