// The indicator images beside the program: loadable, transparent where they sit on the panel,
// and small enough that neighbouring indicators do not overlap.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <wx/image.h>

namespace {

const std::filesystem::path resources = std::filesystem::path(TEST_DATA_DIR) / ".." / ".." / "resources";

wxImage load(const char* name) {
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
    wxImage image;
    EXPECT_TRUE(image.LoadFile((resources / name).string(), wxBITMAP_TYPE_PNG)) << name;
    return image;
}

// Opaque pixels in a band of rows (all rows by default).
int opaque_pixels(const wxImage& image, int first_row = 0, int end_row = -1) {
    if (end_row < 0) end_row = image.GetHeight();
    int count = 0;
    for (int y = first_row; y < end_row; ++y) {
        for (int x = 0; x < image.GetWidth(); ++x) count += image.GetAlpha(x, y) > 128 ? 1 : 0;
    }
    return count;
}

}  // namespace

TEST(IndicatorImages, RowAndOverallIndicatorsFitTheLayout) {
    // Rows start 72 px apart, and a button adds its frame around the image.
    for (const char* name : {"up-arrow.png", "down-arrow.png", "ok-mark.png"}) {
        const wxImage image = load(name);
        ASSERT_TRUE(image.IsOk()) << name;
        ASSERT_TRUE(image.HasAlpha()) << name;
        EXPECT_LE(image.GetHeight(), 60) << name;
        EXPECT_LE(image.GetWidth(), 64) << name;
        EXPECT_EQ(image.GetAlpha(0, 0), 0) << name;
        const int area = image.GetWidth() * image.GetHeight();
        EXPECT_GT(opaque_pixels(image), area / 5) << name;
        EXPECT_LT(opaque_pixels(image), area * 4 / 5) << name;
    }
    // The overall badge sits at (552, 272), left of the log box at x 760 and above "Update" at y 536.
    for (const char* name : {"OK.png", "NOK.png"}) {
        const wxImage image = load(name);
        ASSERT_TRUE(image.IsOk()) << name;
        ASSERT_TRUE(image.HasAlpha()) << name;
        EXPECT_LE(image.GetWidth(), 190) << name;
        EXPECT_LE(image.GetHeight(), 240) << name;
        EXPECT_GE(image.GetWidth(), 120) << name;
        EXPECT_EQ(image.GetAlpha(0, 0), 0) << name;
        EXPECT_GT(opaque_pixels(image), image.GetWidth() * image.GetHeight() * 3 / 4) << name;
    }
    // Up and down must not look alike: the pointed end holds less ink than the shaft's end.
    const wxImage up = load("up-arrow.png");
    const wxImage down = load("down-arrow.png");
    ASSERT_TRUE(up.IsOk() && down.IsOk());
    const int quarter = up.GetHeight() / 4;
    EXPECT_LT(opaque_pixels(up, 0, quarter), opaque_pixels(up, up.GetHeight() - quarter));
    EXPECT_GT(opaque_pixels(down, 0, quarter), opaque_pixels(down, down.GetHeight() - quarter));
    // The badges differ in colour at their centre-left: green for OK, red for NOK.
    const wxImage ok = load("OK.png");
    const wxImage nok = load("NOK.png");
    ASSERT_TRUE(ok.IsOk() && nok.IsOk());
    EXPECT_GT(ok.GetGreen(12, 60), ok.GetRed(12, 60));
    EXPECT_GT(nok.GetRed(12, 60), nok.GetGreen(12, 60));
}
