// The indicator images say what their names say: an operator reads the direction of the
// arrows and the colour of the overall badge, and the screens only know the file names.
#include <gtest/gtest.h>

#include <filesystem>

#include <wx/image.h>

namespace {

wxImage load(const char* name) {
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
    const auto path = std::filesystem::path(TEST_DATA_DIR) / ".." / ".." / "resources" / name;
    wxImage image;
    EXPECT_TRUE(image.LoadFile(path.string(), wxBITMAP_TYPE_PNG) && image.HasAlpha()) << name;
    return image;
}

// Opaque pixels in the top quarter minus those in the bottom quarter: the shaft's end of an
// arrow holds more ink than its point.
int top_heaviness(const wxImage& image) {
    const int quarter = image.GetHeight() / 4;
    int balance = 0;
    for (int y = 0; y < quarter; ++y)
        for (int x = 0; x < image.GetWidth(); ++x)
            balance += (image.GetAlpha(x, y) > 128) - (image.GetAlpha(x, image.GetHeight() - 1 - y) > 128);
    return balance;
}

}  // namespace

TEST(IndicatorImages, ArrowsPointTheirWayAndBadgesHaveTheirColour) {
    EXPECT_LT(top_heaviness(load("up-arrow.png")), 0);
    EXPECT_GT(top_heaviness(load("down-arrow.png")), 0);
    const wxImage ok = load("OK.png");
    const wxImage nok = load("NOK.png");
    const wxImage mark = load("ok-mark.png");
    ASSERT_TRUE(ok.IsOk() && nok.IsOk() && mark.IsOk());
    EXPECT_GT(ok.GetGreen(12, 60), ok.GetRed(12, 60));
    EXPECT_GT(nok.GetRed(12, 60), nok.GetGreen(12, 60));
}
