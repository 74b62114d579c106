// The edit control driven by the events a user causes: clicks, key presses,
// focus changes, with the host redrawing after each as a browser does.
#include <random>

#include "field_support.h"

namespace {

using npbrowser::Value;

// A field 65 wide and 30 high shows 5 characters of its 18-pixel monospaced font.
Params narrow(Params extra = {}) {
    Params p = {{"width", "65"}, {"height", "30"}};
    p.insert(p.end(), extra.begin(), extra.end());
    return p;
}

int degreeCalls(const Field& f) {
    int n = 0;
    for (const auto& c : f.page->listenerCalls()) n += c.listener == "eventDegree";
    return n;
}

TEST(Typing, LettersGoInMaskedAndEachFiresTheDegreeEvent) {
    Field f;
    f.call("addEventListener",
           {Value::makeText("eventDegree"), Value::makeObject(f.page->newListener("eventDegree"))});
    f.activate();
    f.page->typeText("abc");
    EXPECT_EQ(f.typed(), "abc");
    EXPECT_EQ(f.shown(), "***");
    EXPECT_EQ(f.impl->caretForTesting(), 3u);
    EXPECT_EQ(f.impl->shownCaretForTesting(), 3u);
    ASSERT_EQ(degreeCalls(f), 3);
    EXPECT_EQ(f.page->listenerCalls()[0].args.size(), 1u);
    EXPECT_EQ(f.page->listenerCalls()[0].args[0].describe(), "\"S\"");
}

TEST(Typing, NothingHappensUntilTheUserClicksIntoTheTextArea) {
    Field f;
    f.page->focus(true);
    f.page->typeText("abc");
    EXPECT_EQ(f.typed(), "");
    // A click above the text area (its top is at y = 5) does not activate it.
    f.page->click(10, 2);
    f.page->typeText("abc");
    EXPECT_EQ(f.typed(), "");
    f.page->click(10, 15);
    f.page->typeText("abc");
    EXPECT_EQ(f.typed(), "abc");
    // A later click outside deactivates it again.
    f.page->click(10, 1);
    f.page->typeText("d");
    EXPECT_EQ(f.typed(), "abc");
}

TEST(Typing, MaxLengthStopsTypingAtTheLimit) {
    Field f({{"width", "220"}, {"height", "30"}, {"maxlength", "3"}});
    f.call("addEventListener",
           {Value::makeText("eventDegree"), Value::makeObject(f.page->newListener("eventDegree"))});
    f.activate();
    f.page->typeText("abcd");
    EXPECT_EQ(f.typed(), "abc");
    EXPECT_EQ(f.call("getLength"), "3");
    EXPECT_EQ(degreeCalls(f), 3);  // the dropped key reports nothing
    // One event carrying several characters stops at the limit too.
    f.call("clear");
    f.page->keyDown("wxyz");
    EXPECT_EQ(f.typed(), "wxy");

    // Two more fields on the same page: each keeps its own limit and text.
    Field zero(f, {{"width", "220"}, {"height", "30"}, {"maxlength", "none"}});
    zero.activate();
    zero.page->typeText("ab");
    EXPECT_EQ(zero.typed(), "");  // a non-numeric limit reads as 0

    Field negative(f, {{"width", "220"}, {"height", "30"}, {"maxlength", "-1"}});
    negative.activate();
    negative.page->typeText(QString(300, 'x'));
    EXPECT_EQ(negative.call("getLength"), "300");  // compares as a huge unsigned limit
    EXPECT_EQ(f.typed(), "wxy");
}

TEST(Typing, SpecialKeysControlCharactersAndFunctionKeys) {
    Field f({{"width", "220"}, {"height", "30"}, {"entertype", "edit"}});
    NPObject* onReturn = f.page->newListener("eventReturn");
    NPObject* onTab = f.page->newListener("eventTab");
    f.call("addEventListener", {Value::makeText("eventReturn"), Value::makeObject(onReturn)});
    f.activate();
    f.page->typeText("ab");
    f.page->pressKey("return");
    f.page->pressKey("enter");
    f.page->pressKey("tab");  // no Tab listener yet
    ASSERT_EQ(f.page->listenerCalls().size(), 2u);
    EXPECT_EQ(f.page->listenerCalls()[0].listener, "eventReturn");
    EXPECT_EQ(f.page->listenerCalls()[1].listener, "eventReturn");
    f.call("addEventListener", {Value::makeText("EVENTTAB"), Value::makeObject(onTab)});
    f.page->pressKey("tab");
    ASSERT_EQ(f.page->listenerCalls().size(), 3u);
    EXPECT_EQ(f.page->listenerCalls()[2].listener, "eventTab");
    EXPECT_EQ(f.typed(), "ab");  // none of them typed anything

    for (const char* key : {"up", "down", "f1", "f12", "pageup", "pagedown"}) f.page->pressKey(key);
    EXPECT_EQ(f.typed(), "ab");
    f.page->keyDown(QString(QChar(1)));       // a control character is text
    f.page->keyDown(QString(QChar(0xFF01)));  // a full-width "!" is not a function key
    f.page->keyDown(QString());               // a dead key inserts nothing
    EXPECT_EQ(f.typed(), "ab\x01\xEF\xBC\x81");
}

TEST(Typing, KeyDownOnAnInactiveFieldIsStillHandled) {
    Field f;
    NPCocoaEvent e{};
    QString chars("a");
    e.type = NPCocoaEventKeyDown;
    e.data.key.characters = reinterpret_cast<NPNSString*>(&chars);
    EXPECT_EQ(f.page->sendEvent(e), 1);
    e.type = NPCocoaEventKeyUp;
    EXPECT_EQ(f.page->sendEvent(e), 0);  // key-up, mouse-up and the rest are not handled
    e.type = NPCocoaEventScrollWheel;
    EXPECT_EQ(f.page->sendEvent(e), 0);
}

TEST(Window, ScrollsOverSevenCharactersInAFiveCharacterField) {
    Field f(narrow({{"entertype", "edit"}}));
    f.activate();
    f.page->typeText("a");
    ASSERT_EQ(f.impl->visibleCapacityForTesting(), 5u) << "char width " << f.impl->charWidthForTesting();
    f.page->typeText("bcdefg");
    EXPECT_EQ(f.shown(), "cdefg");
    EXPECT_EQ(f.impl->shownCaretForTesting(), 5u);

    f.page->pressKey("home");
    EXPECT_EQ(f.shown(), "abcde");
    EXPECT_EQ(f.impl->caretForTesting(), 0u);
    EXPECT_EQ(f.impl->shownCaretForTesting(), 0u);
    for (int i = 0; i < 5; ++i) f.page->pressKey("right");
    EXPECT_EQ(f.shown(), "abcde");
    EXPECT_EQ(f.impl->caretForTesting(), 5u);
    EXPECT_EQ(f.impl->shownCaretForTesting(), 5u);
    f.page->pressKey("right");
    EXPECT_EQ(f.shown(), "bcdef");
    EXPECT_EQ(f.impl->caretForTesting(), 6u);
    EXPECT_EQ(f.impl->shownCaretForTesting(), 5u);

    f.page->pressKey("end");
    EXPECT_EQ(f.shown(), "cdefg");
    EXPECT_EQ(f.impl->caretForTesting(), 7u);
    for (int i = 0; i < 6; ++i) f.page->pressKey("left");
    EXPECT_EQ(f.shown(), "bcdef");
    EXPECT_EQ(f.impl->caretForTesting(), 1u);
    EXPECT_EQ(f.impl->shownCaretForTesting(), 0u);

    // Typing at the right edge drops the first shown character.
    f.page->pressKey("end");
    f.page->typeText("h");
    EXPECT_EQ(f.shown(), "defgh");
    // Backspace in a scrolled window brings the next hidden character in.
    f.page->pressKey("home");
    f.page->pressKey("right");
    f.page->pressKey("backspace");
    EXPECT_EQ(f.typed(), "bcdefgh");
    EXPECT_EQ(f.shown(), "bcdef");
    // Forward delete likewise.
    f.page->pressKey("delete");
    EXPECT_EQ(f.typed(), "cdefgh");
    EXPECT_EQ(f.shown(), "cdefg");
    // clear keeps the measured width and capacity and fires no degree event.
    f.call("addEventListener",
           {Value::makeText("eventDegree"), Value::makeObject(f.page->newListener("eventDegree"))});
    const double width = f.impl->charWidthForTesting();
    f.call("clear");
    EXPECT_EQ(f.call("getLength"), "0");
    EXPECT_EQ(f.shown(), "");
    EXPECT_EQ(f.impl->charWidthForTesting(), width);
    EXPECT_EQ(f.impl->visibleCapacityForTesting(), 5u);
    EXPECT_EQ(degreeCalls(f), 0);
}

TEST(Window, EdgesOfTheTextRedrawOrNotAsTheKeyWants) {
    Field f;
    f.call("addEventListener",
           {Value::makeText("eventDegree"), Value::makeObject(f.page->newListener("eventDegree"))});
    f.activate();
    f.page->typeText("ab");
    f.page->pressKey("home");
    int before = f.page->invalidations();
    f.page->pressKey("left");  // at 0: nothing, not even a redraw
    EXPECT_EQ(f.page->invalidations(), before);
    f.page->pressKey("home");  // already there
    EXPECT_EQ(f.page->invalidations(), before);
    f.page->pressKey("backspace");  // at 0: redraw and degree event, nothing removed
    EXPECT_EQ(f.page->invalidations(), before + 1);
    EXPECT_EQ(f.typed(), "ab");
    f.page->pressKey("end");
    before = f.page->invalidations();
    f.page->pressKey("right");  // at the end: nothing
    f.page->pressKey("end");
    EXPECT_EQ(f.page->invalidations(), before);
    const int degrees = degreeCalls(f);
    f.page->pressKey("delete");  // at the end: redraw and degree event
    EXPECT_EQ(f.page->invalidations(), before + 1);
    EXPECT_EQ(degreeCalls(f), degrees + 1);
    EXPECT_EQ(f.typed(), "ab");
    // The rectangle asked for is the whole window.
    const NPRect r = f.page->lastInvalidRect();
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.bottom, 30);
    EXPECT_EQ(r.right, 220);
}

TEST(Window, ClickPlacesTheCaretByTheHalfOfTheCharacterUnderThePointer) {
    Field f(narrow({{"entertype", "edit"}}));
    f.activate();
    f.page->typeText("abcdefg");  // shows cdefg
    const double w = f.impl->charWidthForTesting();
    ASSERT_GT(w, 5);
    struct Row {
        double x;
        uint64_t shownCaret, caret;
    } rows[] = {
        {5 + 0.4 * w, 0, 2},  // left half of the first shown character
        {5 + 0.6 * w, 1, 3},  // right half of it
        {5 + 2.3 * w, 2, 4},  // left half of the third
        {5 + 4.9 * w, 5, 7},  // right half of the last
        {5 + 7.0 * w, 5, 7},  // right of the text
        {1, 0, 2},            // left of the first glyph
    };
    for (const Row& r : rows) {
        f.page->pressKey("end");
        f.page->click(r.x, 15);
        EXPECT_EQ(f.impl->shownCaretForTesting(), r.shownCaret) << r.x;
        EXPECT_EQ(f.impl->caretForTesting(), r.caret) << r.x;
    }
    // The caret lands where the pointer last moved (the browser sends that first).
    f.page->pressKey("end");
    f.page->mouseMoved(5 + 0.4 * w, 15);
    f.page->mouseDown(5 + 4 * w, 15);
    EXPECT_EQ(f.impl->caretForTesting(), 2u);
}

// Invariants that every editing path keeps, checked after each step of long
// random walks of a user's keys and clicks.
void expectWindowHolds(const Field& f, bool editMode, const std::string& step) {
    const std::string typed = f.typed();
    const std::string shown = f.shown();
    const uint64_t caret = f.impl->caretForTesting();
    const uint64_t shownCaret = f.impl->shownCaretForTesting();
    const uint64_t capacity = f.impl->visibleCapacityForTesting();
    ASSERT_LE(shownCaret, shown.size()) << step;
    ASSERT_LE(shownCaret, caret) << step;
    ASSERT_LE(caret, typed.size()) << step;
    if (capacity != 0) {
        ASSERT_LE(shown.size(), capacity) << step;
    }
    const std::string window = typed.substr(caret - shownCaret, shown.size());
    if (editMode)
        ASSERT_EQ(shown, window) << step;
    else
        ASSERT_EQ(shown, std::string(window.size(), '#')) << step;
    ASSERT_EQ(window.size(), shown.size()) << step;
}

TEST(Window, RandomUseKeepsTheWindowOnTheTextAndNeverShowsATypedCharacter) {
    for (bool editMode : {true, false}) {
        std::mt19937 rng(editMode ? 11 : 12);
        Field f(
            narrow({{"entertype", editMode ? "edit" : "password"}, {"maskchar", "#"}, {"maxlength", "12"}}));
        f.activate();
        const char* keys[] = {"left", "right", "home", "end", "backspace", "delete"};
        for (int step = 0; step < 3000; ++step) {
            const int what = static_cast<int>(rng() % 10);
            std::string did;
            if (what < 4) {
                const char c = static_cast<char>('a' + rng() % 26);
                f.page->typeText(QString(QChar(c)));
                did = std::string("type ") + c;
            } else if (what < 9) {
                const char* key = keys[rng() % 6];
                f.page->pressKey(key);
                did = key;
            } else {
                const double x = static_cast<double>(rng() % 70);
                f.page->click(x, 15);
                did = "click " + std::to_string(x);
            }
            expectWindowHolds(f, editMode, "step " + std::to_string(step) + ": " + did);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(Window, KeysBeforeTheFirstMeasureShowTheWholeText) {
    Field f(narrow({{"entertype", "edit"}}));
    f.page->setAutoRedraw(false);  // no draw yet: nothing is measured
    f.activate();
    f.page->typeText("abcdefg");
    EXPECT_EQ(f.impl->visibleCapacityForTesting(), 0u);
    f.page->pressKey("home");
    EXPECT_EQ(f.shown(), "abcdefg");
    f.page->pressKey("end");
    EXPECT_EQ(f.impl->shownCaretForTesting(), 7u);
    // The first draw after several characters measures one character's width.
    Field g(f, narrow({{"entertype", "edit"}}));
    g.page->setAutoRedraw(false);
    g.activate();
    g.page->typeText("a");
    g.page->draw();
    const double one = g.impl->charWidthForTesting();
    f.page->draw();
    EXPECT_NEAR(f.impl->charWidthForTesting(), one, 0.01);
    EXPECT_EQ(f.impl->visibleCapacityForTesting(), 5u);
}

TEST(Window, ManyCharactersInOneEventKeepTheWindowWithinItsCapacity) {
    Field f(narrow({{"entertype", "edit"}}));
    f.activate();
    f.page->typeText("abcd");
    f.page->keyDown("efghij");  // e.g. an input method committing a word
    EXPECT_EQ(f.typed(), "abcdefghij");
    EXPECT_EQ(f.shown(), "fghij");
    expectWindowHolds(f, true, "after the word");
}

}  // namespace
