#include "rewrite_rules.h"
#include "program_error.h"
#include "short_message_printing.h"

#include <gtest/gtest.h>

#include <ostream>

namespace keyflip {
namespace {

// Settings that count how often each value is read, to prove the rules
// query them only when a rule needs them.
class CountingSettings : public RewriteSettings {
public:
    CountingSettings(std::int16_t transpose, bool reverse, std::int16_t wheel)
        : transpose_(transpose), reverse_(reverse), wheel_(wheel) {}

    std::int16_t transposeAmount() const override {
        ++transposeReads;
        return transpose_;
    }
    bool reverseFlag() const override {
        ++reverseReads;
        return reverse_;
    }
    std::int16_t wheelNote() const override {
        ++wheelReads;
        return wheel_;
    }

    mutable int transposeReads = 0;
    mutable int reverseReads = 0;
    mutable int wheelReads = 0;

private:
    std::int16_t transpose_;
    bool reverse_;
    std::int16_t wheel_;
};

struct RuleCase {
    const char* name;
    ShortMessage in;
    std::int16_t transpose;
    bool reverse;
    std::int16_t wheel;
    ShortMessage expected;
    friend void PrintTo(const RuleCase& c, std::ostream* out) { *out << c.name; }
};

class RewriteRules : public testing::TestWithParam<RuleCase> {};

TEST_P(RewriteRules, GivesTheExpectedMessage) {
    const RuleCase& c = GetParam();
    CountingSettings settings(c.transpose, c.reverse, c.wheel);
    EXPECT_EQ(rewrite(c.in, settings), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RewriteRules,
    testing::Values(
        RuleCase{"note_on_up_an_octave", {144, 60, 100}, 12, false, 64, {144, 72, 100}},
        RuleCase{"note_on_up_an_octave_mirrored", {144, 60, 100}, 12, true, 64, {144, 55, 100}},
        RuleCase{"note_off_mirrored", {128, 0, 0}, 0, true, 64, {128, 127, 0}},
        RuleCase{"last_note_off_channel_transposed", {143, 10, 0}, 3, false, 64, {143, 13, 0}},
        RuleCase{"poly_pressure_not_transposed", {160, 60, 50}, 5, false, 64, {160, 60, 50}},
        RuleCase{"below_note_range_not_transposed", {127, 60, 50}, 5, false, 64, {127, 60, 50}},
        RuleCase{"wheel_to_note", {176, 1, 100}, 0, false, 64, {144, 64, 100}},
        RuleCase{"wheel_at_zero_gives_velocity_zero", {176, 1, 0}, 0, false, 64, {144, 64, 0}},
        RuleCase{"wheel_uses_wheel_note", {176, 1, 7}, 9, false, 0, {144, 0, 7}},
        RuleCase{"wheel_on_channel_2_unchanged", {177, 1, 100}, 0, false, 64, {177, 1, 100}},
        RuleCase{"other_controller_unchanged", {176, 7, 100}, 0, false, 64, {176, 7, 100}},
        RuleCase{"wheel_mirrored_stays_controller", {176, 1, 90}, 0, true, 64, {176, 126, 90}},
        RuleCase{"controller_126_mirrored_becomes_wheel_note",
                 {176, 126, 90},
                 0,
                 true,
                 30,
                 {144, 30, 90}},
        RuleCase{"program_change_mirrored", {192, 5, 0}, 0, true, 64, {192, 122, 0}},
        RuleCase{"pitch_bend_first_byte_mirrored", {224, 0, 64}, 4, true, 64, {224, 127, 64}},
        RuleCase{"unclamped_above_127", {159, 127, 64}, 12, false, 64, {159, 139, 64}},
        RuleCase{"unclamped_below_0", {144, 127, 64}, 12, true, 64, {144, -12, 64}},
        RuleCase{"unvalidated_input_passes", {-5, 300, -7}, 12, false, 64, {-5, 300, -7}}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

TEST(RewriteSettingsReads, TransposeIsReadOnlyForNoteMessages) {
    CountingSettings settings(2, false, 64);
    rewrite({160, 60, 50}, settings);
    rewrite({176, 7, 50}, settings);
    EXPECT_EQ(settings.transposeReads, 0);
    rewrite({144, 60, 50}, settings);
    rewrite({128, 60, 0}, settings);
    EXPECT_EQ(settings.transposeReads, 2);
}

TEST(RewriteSettingsReads, WheelNoteIsReadOnlyForTheWheel) {
    CountingSettings settings(0, false, 64);
    rewrite({144, 1, 50}, settings);
    rewrite({177, 1, 50}, settings);
    rewrite({176, 2, 50}, settings);
    EXPECT_EQ(settings.wheelReads, 0);
    rewrite({176, 1, 50}, settings);
    EXPECT_EQ(settings.wheelReads, 1);
}

TEST(RewriteSettingsReads, ReverseIsReadForEveryMessage) {
    CountingSettings settings(0, false, 64);
    rewrite({144, 1, 50}, settings);
    rewrite({240, 1, 50}, settings);
    EXPECT_EQ(settings.reverseReads, 2);
}

TEST(RewriteOverflow, RaisesTheOverflowError) {
    CountingSettings transposeUp(12, false, 64);
    CountingSettings mirror(0, true, 64);
    const struct {
        ShortMessage in;
        const RewriteSettings& settings;
    } cases[] = {
        {{144, INT16_MAX - 5, 1}, transposeUp},  // data1 + 12 overflows
        {{176, INT16_MIN, 1}, mirror},           // 127 - (-32768) overflows
    };
    for (const auto& c : cases) {
        try {
            rewrite(c.in, c.settings);
            ADD_FAILURE() << "no overflow for " << c.in;
        } catch (const ProgramError& error) {
            EXPECT_STREQ(error.description(), "Overflow");
        }
    }
}

}  // namespace
}  // namespace keyflip
