// The setup call through the loaded module: the About box, the host's
// parameter record and the parameter dialog, with the stand-in as the user.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "module_fixture.h"
#include "resources/resource_ids.h"

namespace kalmix::testing {
namespace {

using Values = std::array<std::int32_t, 5>;

Values values(const FilterParams& record) {
    return {record.primaryLevel, record.uvLevel, record.secondaryLevel, record.transitionFrames,
            record.enhancedSuppression};
}

FilterParams record(const Values& v) { return {v[0], v[1], v[2], v[3], v[4]}; }

// What the four value boxes show, in the order primary, UV, secondary, transition.
std::array<std::string, 4> boxTexts(const standin::Dialog& dialog) {
    return {dialog.text(IDC_PRIMARY_VALUE), dialog.text(IDC_UV_VALUE),
            dialog.text(IDC_SECONDARY_VALUE), dialog.text(IDC_TRANSITION_VALUE)};
}

std::array<int, 4> thumbs(const standin::Dialog& dialog) {
    return {dialog.sliderPosition(IDC_PRIMARY_SLIDER), dialog.sliderPosition(IDC_UV_SLIDER),
            dialog.sliderPosition(IDC_SECONDARY_SLIDER), dialog.sliderPosition(IDC_TRANSITION_SLIDER)};
}

using Act = std::function<void(standin::Dialog&)>;
const Act pressOk = [](standin::Dialog& d) { d.click(IDOK); };
const Act pressCancel = [](standin::Dialog& d) { d.click(IDCANCEL); };

class SetupTest : public ModuleTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(messages.empty()) << "the setup call shows no message of its own";
        ModuleTest::TearDown();
    }

    // One setup call: `about` acts on the About box, `parameters` on the
    // parameter dialog; every dialog shown is recorded in `shown`.
    std::int16_t setup(const Act& parameters, const Act& about = pressOk) {
        shown.clear();
        standin::setDialogUser([&](standin::Dialog& dialog) {
            shown.push_back(dialog.templateId());
            (dialog.templateId() == IDD_ABOUT ? about : parameters)(dialog);
        });
        const std::int16_t result = module->setup();
        standin::setDialogUser(nullptr);
        return result;
    }

    Values stored() {
        const FilterParams* params = module->params();
        return params != nullptr ? values(*params) : Values{-99, -99, -99, -99, -99};
    }

    std::vector<int> shown;
};

const std::vector<int> ABOUT_ONLY{IDD_ABOUT};
const std::vector<int> BOTH{IDD_ABOUT, IDD_PARAMETERS};

TEST_F(SetupTest, NewRecordIsAllocatedAndFilledBeforeTheDialogOpens) {
    Values inDialog{};
    std::array<std::string, 4> texts;
    bool checked = false;
    EXPECT_EQ(setup([&](standin::Dialog& d) {
                  inDialog = stored();
                  texts = boxTexts(d);
                  checked = d.isChecked(IDC_ENHANCED_CHECK);
                  d.click(IDCANCEL);
              }),
              0);
    EXPECT_EQ(shown, BOTH);
    EXPECT_EQ(standin::allocationCount(), 1);
    EXPECT_EQ(standin::lastAllocationSize(), 20);
    EXPECT_NE(module->request().paramsHandle, nullptr);
    EXPECT_EQ(inDialog, (Values{5, 5, 5, 2, 1}));
    EXPECT_EQ(texts, (std::array<std::string, 4>{"5", "5", "5", "2"}));
    EXPECT_TRUE(checked);
    EXPECT_EQ(stored(), (Values{5, 5, 5, 2, 1}));
}

TEST_F(SetupTest, LaterSetupsReuseTheHandleAndShowItsValues) {
    ASSERT_EQ(setup(pressCancel), 0);
    const HostHandle handle = module->request().paramsHandle;
    *module->params() = record({3, 4, 8, 6, 0});

    std::array<std::string, 4> texts;
    bool checked = true;
    EXPECT_EQ(setup([&](standin::Dialog& d) {
                  texts = boxTexts(d);
                  checked = d.isChecked(IDC_ENHANCED_CHECK);
                  d.click(IDOK);
              }),
              0);
    EXPECT_EQ(module->request().paramsHandle, handle);
    EXPECT_EQ(standin::allocationCount(), 1);
    EXPECT_EQ(texts, (std::array<std::string, 4>{"3", "4", "8", "6"}));
    EXPECT_FALSE(checked);
    EXPECT_EQ(stored(), (Values{3, 4, 8, 6, 0}));

    // A new use of the filter starts from the values applied last, not the defaults.
    module->clearParams();
    Values inDialog{};
    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  inDialog = stored();
                  d.click(IDCANCEL);
              }),
              0);
    EXPECT_NE(module->request().paramsHandle, handle);
    EXPECT_EQ(inDialog, (Values{3, 4, 8, 6, 0}));
    EXPECT_EQ(stored(), (Values{3, 4, 8, 6, 0}));
}

TEST_F(SetupTest, CancelledAboutBoxChangesNothing) {
    EXPECT_EQ(setup(pressOk, pressCancel), -1);
    EXPECT_EQ(shown, ABOUT_ONLY);
    EXPECT_EQ(module->request().paramsHandle, nullptr);
    EXPECT_EQ(standin::allocationCount(), 0);

    module->setParams(record({12, -3, 4, 9, 7}));
    EXPECT_EQ(setup(pressOk, pressCancel), -1);
    EXPECT_EQ(shown, ABOUT_ONLY);
    EXPECT_EQ(stored(), (Values{12, -3, 4, 9, 7}));

    // Walking away from the box closes it: the close box is CANCEL.
    EXPECT_EQ(setup(pressOk, [](standin::Dialog&) {}), -1);
    EXPECT_EQ(shown, ABOUT_ONLY);
}

TEST_F(SetupTest, FailedAllocationEndsTheCallBeforeTheDialog) {
    standin::failNextAllocation();
    EXPECT_EQ(setup(pressOk), -1);
    EXPECT_EQ(shown, ABOUT_ONLY);
    EXPECT_EQ(module->request().paramsHandle, nullptr);
    EXPECT_EQ(standin::allocationCount(), 1);

    EXPECT_EQ(setup(pressOk), 0);
    EXPECT_EQ(stored(), (Values{5, 5, 5, 2, 1}));
}

TEST_F(SetupTest, OtherSelectorsAreRefused) {
    module->setParams(record({1, 2, 3, 4, 0}));
    standin::setDialogUser([&](standin::Dialog& d) { shown.push_back(d.templateId()); });
    for (const std::int16_t selector : std::array<std::int16_t, 5>{2, 3, -1, 255, 0x7FFF}) {
        EXPECT_EQ(module->call(selector), -1) << selector;
    }
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(standin::allocationCount(), 0);
    EXPECT_EQ(stored(), (Values{1, 2, 3, 4, 0}));
}

TEST_F(SetupTest, AboutOutcomeIsTheLastShownBoxs) {
    // A box that cannot be shown: cancelled at load, so the call ends.
    standin::failNextDialog();
    EXPECT_EQ(setup(pressOk), -1);
    EXPECT_TRUE(shown.empty());

    ASSERT_EQ(setup(pressOk), 0);
    standin::failNextDialog();
    EXPECT_EQ(setup(pressCancel), 0) << "an accepted box stays accepted";
    EXPECT_EQ(shown, (std::vector<int>{IDD_PARAMETERS}));

    EXPECT_EQ(setup(pressOk, pressCancel), -1);
    standin::failNextDialog();
    EXPECT_EQ(setup(pressOk), -1);

    ASSERT_EQ(setup(pressOk), 0);
    reload();  // a newly loaded module starts cancelled
    standin::failNextDialog();
    EXPECT_EQ(setup(pressOk), -1);
}

TEST_F(SetupTest, WithoutAHostWindowOnlyTheAboutBoxIsShown) {
    standin::setMainWindowPresent(false);
    module->setParams(record({12, 5, 3, 2, 0}));
    EXPECT_EQ(setup(pressOk), 0);
    EXPECT_EQ(shown, ABOUT_ONLY);
    EXPECT_EQ(stored(), (Values{12, 5, 3, 2, 0}));
}

TEST_F(SetupTest, OnlyACompletedSetupEndsTheRunningSequence) {
    constexpr int width = 64, height = 48, clipTotal = 100;
    const FilterParams defaults{5, 5, 5, 2, 1};
    auto frame = [](int position) { return syntheticFrame(width, height, position, 11); };
    // What frame `position` gives as the first frame of a sequence in a new module.
    auto freshStart = [&](int position) {
        reload();
        std::filesystem::remove(statePath());
        module->setParams(defaults);
        return run(frame(position), width, height, position, clipTotal);
    };

    module->setParams(defaults);
    run(frame(10), width, height, 10, clipTotal);
    run(frame(11), width, height, 11, clipTotal);
    ASSERT_EQ(setup(pressOk), 0);
    const Frame afterSetup = run(frame(12), width, height, 12, clipTotal);
    ASSERT_EQ(setup(pressOk, pressCancel), -1);
    const Frame afterCancel = run(frame(13), width, height, 13, clipTotal);

    EXPECT_TRUE(afterSetup == freshStart(12));
    EXPECT_FALSE(afterCancel == freshStart(13)) << "a cancelled setup leaves the sequence running";
}

TEST_F(SetupTest, DialogStartsWithRangesAndFocusOnOk) {
    std::array<int, 4> minima{}, maxima{};
    int focus = 0;
    std::string caption;
    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  const int sliders[] = {IDC_PRIMARY_SLIDER, IDC_UV_SLIDER, IDC_SECONDARY_SLIDER,
                                         IDC_TRANSITION_SLIDER};
                  for (int i = 0; i < 4; ++i) {
                      minima[static_cast<std::size_t>(i)] = d.sliderMinimum(sliders[i]);
                      maxima[static_cast<std::size_t>(i)] = d.sliderMaximum(sliders[i]);
                  }
                  focus = d.focusedControl();
                  caption = d.caption();
                  d.click(IDCANCEL);
              }),
              0);
    EXPECT_EQ(minima, (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(maxima, (std::array<int, 4>{10, 10, 10, 7}));
    EXPECT_EQ(focus, IDOK);
    EXPECT_EQ(caption, "Filtration Parameters");
}

TEST_F(SetupTest, OutOfRangeValuesShowAsStoredAndOkStoresTheThumbs) {
    module->setParams(record({12, 5, -1, 9, 1}));
    std::array<std::string, 4> texts;
    std::array<int, 4> positions{};
    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  texts = boxTexts(d);
                  positions = thumbs(d);
                  d.click(IDOK);
              }),
              0);
    EXPECT_EQ(texts, (std::array<std::string, 4>{"12", "5", "-1", "9"}));
    EXPECT_EQ(positions, (std::array<int, 4>{10, 5, 0, 7}));
    EXPECT_EQ(stored(), (Values{10, 5, 0, 7, 1}));
}

TEST_F(SetupTest, DraggingShowsTheValueAtOnceAndCancelForgetsIt) {
    module->setParams(record({5, 5, 5, 2, 1}));
    std::string primaryAfterDrag, secondaryAfterDrag;
    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  ASSERT_TRUE(d.dragSlider(IDC_PRIMARY_SLIDER, 7));
                  primaryAfterDrag = d.text(IDC_PRIMARY_VALUE);
                  ASSERT_TRUE(d.dragSlider(IDC_SECONDARY_SLIDER, 15));
                  secondaryAfterDrag = d.text(IDC_SECONDARY_VALUE);
                  ASSERT_TRUE(d.click(IDC_ENHANCED_CHECK));
                  d.click(IDCANCEL);
              }),
              0);
    EXPECT_EQ(primaryAfterDrag, "7");
    EXPECT_EQ(secondaryAfterDrag, "10");
    EXPECT_EQ(stored(), (Values{5, 5, 5, 2, 1}));

    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  d.dragSlider(IDC_PRIMARY_SLIDER, 7);
                  d.dragSlider(IDC_SECONDARY_SLIDER, 0);
                  d.click(IDOK);
              }),
              0);
    EXPECT_EQ(stored(), (Values{7, 5, 0, 2, 1}));
}

TEST_F(SetupTest, HiddenAndDisabledSlidersKeepTheirValuesThroughOk) {
    module->setParams(record({5, 9, 5, 6, 1}));
    bool uvMoved = true, transitionMoved = true;
    std::array<int, 4> positions{};
    std::array<std::string, 4> texts;
    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  uvMoved = d.dragSlider(IDC_UV_SLIDER, 1);
                  transitionMoved = d.dragSlider(IDC_TRANSITION_SLIDER, 0);
                  d.dragSlider(IDC_PRIMARY_SLIDER, 3);
                  positions = thumbs(d);
                  texts = boxTexts(d);
                  d.click(IDOK);
              }),
              0);
    EXPECT_FALSE(uvMoved);
    EXPECT_FALSE(transitionMoved);
    EXPECT_EQ(positions, (std::array<int, 4>{3, 9, 5, 6}));
    EXPECT_EQ(texts, (std::array<std::string, 4>{"3", "9", "5", "6"}));
    EXPECT_EQ(stored(), (Values{3, 9, 5, 6, 1}));
}

TEST_F(SetupTest, CheckBoxRoundTripsAsZeroOrOne) {
    module->setParams(record({5, 5, 5, 2, 7}));
    bool shownChecked = false;
    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  shownChecked = d.isChecked(IDC_ENHANCED_CHECK);
                  d.click(IDOK);
              }),
              0);
    EXPECT_TRUE(shownChecked);
    EXPECT_EQ(stored()[4], 1);

    ASSERT_EQ(setup([](standin::Dialog& d) {
                  d.click(IDC_ENHANCED_CHECK);
                  d.click(IDOK);
              }),
              0);
    EXPECT_EQ(stored()[4], 0);

    ASSERT_EQ(setup([&](standin::Dialog& d) {
                  shownChecked = d.isChecked(IDC_ENHANCED_CHECK);
                  d.click(IDC_ENHANCED_CHECK);
                  d.click(IDOK);
              }),
              0);
    EXPECT_FALSE(shownChecked);
    EXPECT_EQ(stored()[4], 1);
}

TEST_F(SetupTest, UserWhoPressesOnlyDefaultButtonsKeepsTheValues) {
    module->setParams(record({4, 6, 8, 3, 0}));
    standin::setDialogUser(nullptr);  // Enter on both boxes
    EXPECT_EQ(module->setup(), 0);
    EXPECT_EQ(stored(), (Values{4, 6, 8, 3, 0}));
}

}  // namespace
}  // namespace kalmix::testing
