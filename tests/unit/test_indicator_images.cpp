// The indicator images say what their names say: an operator reads the direction of the
// arrows and the colour of the overall badge, and the screens only know the file names.
#include <gtest/gtest.h>

#include <filesystem>

#include <wx/image.h>

namespace {

wxImage load(const char* name) {
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
    wxImage image;
    const auto path = std::filesystem::path(TEST_DATA_DIR) / ".." / ".." / "resources" / name;
    EXPECT_TRUE(image.LoadFile(path.string(), wxBITMAP_TYPE_PNG) && image.HasAlpha()) << name;
    return image;
}

// Opaque pixels in the top quarter minus those in the bottom quarter: the shaft's end of an
// arrow holds more ink than its point.
int top_heaviness(const wxImage& image) {
    int balance = 0;
    for (int y = 0; y < image.GetHeight() / 4; ++y)
        for (int x = 0; x < image.GetWidth(); ++x)
            balance += (image.GetAlpha(x, y) > 128) - (image.GetAlpha(x, image.GetHeight() - 1 - y) > 128);
    return balance;
}

// Green minus red at a point inside the badge.
int greenness(const wxImage& image) { return image.IsOk() ? image.GetGreen(12, 60) - image.GetRed(12, 60) : 0; }

}  // namespace

TEST(IndicatorImages, ArrowsPointTheirWayAndBadgesHaveTheirColour) {
    EXPECT_LT(top_heaviness(load("up-arrow.png")), 0);
    EXPECT_GT(top_heaviness(load("down-arrow.png")), 0);
    EXPECT_GT(greenness(load("OK.png")), 0);
    EXPECT_LT(greenness(load("NOK.png")), 0);
    EXPECT_TRUE(load("ok-mark.png").IsOk());
}
