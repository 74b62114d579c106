// Parameters, colours and what each draw event paints, read back from the
// host's image pixel by pixel.
#include <QColor>
#include <QImage>

#include "field_support.h"

namespace {

// Strokes are antialiased: a 1-wide black line at an integer x shades the
// two columns beside it half each, so "dark" means clearly below white.
bool dark(QRgb p) { return qGray(p) < 200; }

int darkPixelsIn(const QImage& img, int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int x = std::max(0, x0); x < std::min(img.width(), x1); ++x)
        for (int y = std::max(0, y0); y < std::min(img.height(), y1); ++y) n += dark(img.pixel(x, y));
    return n;
}

int pixelsUnlike(const QImage& img, QRgb background, int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int x = x0; x < x1; ++x)
        for (int y = y0; y < y1; ++y) n += img.pixel(x, y) != background;
    return n;
}

TEST(Parameters, NamesAreMatchedWithoutCaseAndLaterOnesWin) {
    Field f({{"width", "100"},
             {"height", "30"},
             {"ENTERTYPE", "Edit"},
             {"MaskChar", "#"},
             {"maxLength", "9"},
             {"maxlength", "12"},
             {"unknown", "x"},
             {"Accepts", "[a-z]+"},
             {"contenttype", "5"},
             {"captionbold", "FALSE"},
             {"width", "120"}});
    EXPECT_EQ(f.impl->enterTypeForTesting(), 1);
    EXPECT_EQ(f.impl->maskStringForTesting(), "#");
    EXPECT_EQ(f.impl->getMaxLength(), 12);
    EXPECT_EQ(f.impl->getContentType(), 5);
    EXPECT_EQ(f.impl->acceptsPatternForTesting(), "[a-z]+");
    EXPECT_EQ(f.impl->textAreaForTesting().width, 120);

    Field p(f, {{"width", "100"}, {"height", "30"}, {"entertype", "editable"}, {"minlength", "4x"}});
    EXPECT_EQ(p.impl->enterTypeForTesting(), 0);
    EXPECT_EQ(p.impl->getMinLength(), 4);
}

// A page may write any 32-bit size: the text area is laid out from it
// whole, and drawing such a field is drawing it.
TEST(Parameters, SizesAtTheEndsOfTheirRangeLayOutWhole) {
    struct Row {
        const char* height;
        double top, areaHeight;
    } rows[] = {{"999999999", 166666666, 833333332},
                {"2147483647", 357913941, 1789569705},
                {"-2147483648", -357913941, -1789569706}};
    for (const auto& r : rows) {
        // "Height": the plug-in reads it, the test host keeps its usual window.
        Field f({{"width", "100"}, {"Height", r.height}});
        EXPECT_EQ(f.impl->textAreaForTesting().y, r.top) << r.height;
        EXPECT_EQ(f.impl->textAreaForTesting().height, r.areaHeight) << r.height;
        f.activate();
        f.page->typeText("ab");
        EXPECT_EQ(f.page->draw().size(), QSize(100, 30));
    }
}

TEST(Parameters, TheMaskIsOneCharacter) {
    struct Row {
        const char* value;
        const char* mask;
    } rows[] = {
        {"#", "#"}, {"", "*"}, {"ab", "a"}, {"\xE2\x97\x8F", "\xE2\x97\x8F"}, {"\xF0\x9F\x94\x92", "*"}};
    for (const auto& r : rows) {
        Field f({{"width", "100"}, {"height", "30"}, {"maskchar", r.value}});
        EXPECT_EQ(f.impl->maskStringForTesting().toStdString(), r.mask) << r.value;
        f.activate();
        f.page->typeText("xyz");
        EXPECT_EQ(f.shown(), std::string(r.mask) + r.mask + r.mask) << r.value;
    }
}

TEST(Parameters, HtmlColoursReadSixHexDigitsAfterAnyHashes) {
    struct Row {
        const char* text;
        int r, g, b;
    } rows[] = {
        {"ff8000", 255, 128, 0}, {"#ff8000", 255, 128, 0}, {"##FF8000", 255, 128, 0},
        {"00ff00", 0, 255, 0},   {"#0f0", 0x0f, 0, 0},     {"", 0, 0, 0},
        {"zz12", 0, 0x12, 0},    {"#", 0, 0, 0},           {"123456789", 0x12, 0x34, 0x56},
    };
    for (const auto& r : rows) {
        const QColor c = CPluginImplement::htmlColor(r.text);
        EXPECT_EQ(c.red(), r.r) << r.text;
        EXPECT_EQ(c.green(), r.g) << r.text;
        EXPECT_EQ(c.blue(), r.b) << r.text;
        EXPECT_EQ(c.alphaF(), 1.0);
    }
    EXPECT_EQ(CPluginImplement::htmlColor(nullptr), QColor(0, 0, 0));
}

TEST(Drawing, ColoursFillTheFieldAndTheBorderFollowsFocusAndActivation) {
    Field f({{"width", "120"}, {"height", "30"}, {"backcolor", "00ff00"}, {"bordercolor", "#0000ff"}});
    QImage img = f.page->draw();
    EXPECT_EQ(img.pixel(60, 15), qRgb(0, 255, 0));
    EXPECT_EQ(img.pixel(1, 15), qRgb(0, 255, 0));  // a 1-wide border covers only the outer column
    EXPECT_GT(qBlue(img.pixel(0, 15)), 60);        // half of it
    EXPECT_LT(qGreen(img.pixel(0, 15)), 255);

    f.page->focus(true);  // focused, not active: still the thin border, no caret
    img = f.page->draw();
    EXPECT_EQ(img.pixel(1, 15), qRgb(0, 255, 0));
    EXPECT_EQ(pixelsUnlike(img, qRgb(0, 255, 0), 3, 117, 3, 27), 0);

    f.page->click(10, 15);  // active: the 2.5-wide border reaches the second column, and the caret shows
    img = f.page->draw();
    EXPECT_NE(img.pixel(1, 15), qRgb(0, 255, 0));
    EXPECT_GT(qBlue(img.pixel(1, 15)), 0);
    EXPECT_GT(pixelsUnlike(img, qRgb(0, 255, 0), 4, 7, 6, 21), 5);
}

TEST(Drawing, CaretRunsFromAFifthOfTheHeightForHalfOfIt) {
    Field f({{"width", "120"}, {"height", "30"}});
    f.activate();
    const QImage img = f.page->lastFrame();
    ASSERT_FALSE(img.isNull());
    // The caret stands at x = 5 (the glyphs' padding) from y = 6 to y = 21.
    int top = -1, bottom = -1;
    for (int y = 2; y < 28; ++y) {
        if (darkPixelsIn(img, 4, 6, y, y + 1) > 0) {
            if (top < 0) top = y;
            bottom = y;
        }
    }
    EXPECT_EQ(top, 6);
    EXPECT_EQ(bottom, 20);
    EXPECT_EQ(f.impl->textAreaForTesting().y, 5);
    EXPECT_EQ(f.impl->textAreaForTesting().height, 25);
}

TEST(Drawing, MasksFillOneCellPerTypedCharacterAndNeverShowWhatWasTyped) {
    auto frameOf = [](const char* typed) {
        Field f({{"width", "220"}, {"height", "30"}});
        f.activate();
        f.page->typeText(typed);
        f.page->focus(false);  // no caret
        return std::make_pair(f.page->draw(), f.impl->charWidthForTesting());
    };
    const auto [abcd, w] = frameOf("abcd");
    ASSERT_GT(w, 5);
    for (int k = 0; k < 4; ++k) {
        const int x0 = static_cast<int>(5 + k * w), x1 = static_cast<int>(5 + (k + 1) * w);
        EXPECT_GT(darkPixelsIn(abcd, x0 + 1, x1 - 1, 5, 26), 3) << "cell " << k;
    }
    EXPECT_EQ(darkPixelsIn(abcd, static_cast<int>(5 + 4 * w) + 1, 217, 3, 27), 0);
    // Another password of the same length draws the same picture.
    EXPECT_EQ(frameOf("wxyz").first, abcd);
    EXPECT_NE(frameOf("wxyzq").first, abcd);
}

TEST(Drawing, EditModeShowsTheCharactersInTheTextColour) {
    Field f({{"width", "220"}, {"height", "30"}, {"entertype", "edit"}, {"textcolor", "ff0000"}});
    f.activate();
    f.page->typeText("MW");
    const QImage img = f.page->draw();
    int red = 0;
    for (int x = 5; x < 30; ++x)
        for (int y = 5; y < 28; ++y) red += qRed(img.pixel(x, y)) > 200 && qGreen(img.pixel(x, y)) < 100;
    EXPECT_GT(red, 10);
}

TEST(Drawing, PointerIsAnIBeamOverTheTextAreaOnly) {
    Field f({{"width", "120"}, {"height", "30"}});
    f.page->mouseMoved(50, 15);
    EXPECT_EQ(f.page->cursorKind(), NPCursorIBeam_Linux);
    f.page->mouseMoved(50, 4);
    EXPECT_EQ(f.page->cursorKind(), NPCursorArrow_Linux);
    f.page->mouseMoved(50, 5);
    EXPECT_EQ(f.page->cursorKind(), NPCursorIBeam_Linux);
    f.page->mouseMoved(130, 15);
    EXPECT_EQ(f.page->cursorKind(), NPCursorArrow_Linux);
}

TEST(Drawing, ADrawWithoutAContextPaintsNothingAndKeepsNoStalePainter) {
    Field f({{"width", "120"}, {"height", "30"}});
    f.page->draw();
    NPCocoaEvent e{};
    e.type = NPCocoaEventDrawRect;
    e.data.draw.context = nullptr;
    EXPECT_EQ(f.page->sendEvent(e), 1);  // the painter of the last draw is gone: not used
    EXPECT_EQ(f.page->draw().pixel(60, 15), qRgb(255, 255, 255));
}

}  // namespace
