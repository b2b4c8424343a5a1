// Validators and key mappers built through the C table and used by imports.
#include <gtest/gtest.h>
#include <tamo/settings.h>

#include <string>
#include <vector>

#include "api_test_support.h"
#include "support/capture_stderr.h"

namespace {

using tamo_test::api;
using tamo_test::Context;
using tamo_test::errorLinesOf;
using tamo_test::ImportOptions;
using tamo_test::importText;
using tamo_test::keysOf;
using tamo_test::newContext;
using tamo_test::textOf;

using Keys = std::vector<std::string>;

tamo_test::ValidatorBuilder newValidatorBuilder() {
  return tamo_test::ValidatorBuilder(api().validator_builder_create());
}

tamo_test::KeyMapperBuilder newKeyMapperBuilder() {
  return tamo_test::KeyMapperBuilder(api().key_mapper_builder_create());
}

tamo_test::Validator validatorOf(settings_validator_builder_t* builder) {
  settings_validator_t* validator = nullptr;
  EXPECT_EQ(api().validator_builder_create_validator(builder, &validator), SETTINGS_NO_ERROR);
  return tamo_test::Validator(validator);
}

tamo_test::KeyMapper keyMapperOf(settings_key_mapper_builder_t* builder) {
  settings_key_mapper_t* keyMapper = nullptr;
  EXPECT_EQ(api().key_mapper_builder_create_key_mapper(builder, &keyMapper), SETTINGS_NO_ERROR);
  return tamo_test::KeyMapper(keyMapper);
}

// Imports text through the rules, keeping going past refused lines, with the
// standard-error lines captured away; returns the status.
int importThrough(settings_context_t* context, char const* text,
                  settings_validator_t const* validator,
                  settings_key_mapper_t const* keyMapper = nullptr) {
  ImportOptions options;
  options.validator = validator;
  options.keyMapper = keyMapper;
  options.failFast = false;
  tamo_test::CaptureStderr quiet;
  return importText(context, text, options);
}

int integerOf(settings_context_t* context, char const* key) {
  int value = -1;
  int const status = api().context_get_integer_value(context, key, &value);
  return status == SETTINGS_NO_ERROR ? value : -status;
}

// One type rule for "k", one text for it, then one typed read.
using RuleSetter = int (*)(settings_validator_builder_t*, char const*);

struct TypeRuleCase {
  char const* name;
  RuleSetter setRule;
  char const* text;
  int importStatus;
  int integer;  // what context_get_integer_value gives, or minus its status
};

TypeRuleCase const kTypeRuleCases[] = {
    {"IntegerAcceptsHex", validator_builder_set_integer_validator, "k=0x10", 0, 16},
    {"IntegerRefusesWord", validator_builder_set_integer_validator, "k=ten",
     SETTINGS_INVALID_VALUE_ERROR, -SETTINGS_KEY_NOT_FOUND_ERROR},
    {"BooleanIsNotAnInteger", validator_builder_set_boolean_validator, "k=YES", 0,
     -SETTINGS_TYPE_MISMATCH_ERROR},
    {"DoubleRefusesWord", validator_builder_set_double_validator, "k=x",
     SETTINGS_INVALID_VALUE_ERROR, -SETTINGS_KEY_NOT_FOUND_ERROR},
    {"Utf8TextIsNotAnInteger", validator_builder_set_utf8_validator, "k=12", 0,
     -SETTINGS_TYPE_MISMATCH_ERROR},
};

class TypeRule : public testing::TestWithParam<TypeRuleCase> {};

TEST_P(TypeRule, DecidesWhatIsStoredAndHowItReads) {
  TypeRuleCase const& row = GetParam();
  auto builder = newValidatorBuilder();
  ASSERT_EQ(row.setRule(builder.get(), "k"), SETTINGS_NO_ERROR);
  auto validator = validatorOf(builder.get());
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), row.text, validator.get()), row.importStatus);
  EXPECT_EQ(integerOf(context.get(), "k"), row.integer);
}

INSTANTIATE_TEST_SUITE_P(Types, TypeRule, testing::ValuesIn(kTypeRuleCases),
                         [](testing::TestParamInfo<TypeRuleCase> const& info) {
                           return std::string(info.param.name);
                         });

TEST(UnknownKeys, RefusedUnlessAllowedWithAnyNonZeroValue) {
  auto builder = newValidatorBuilder();
  auto refusing = validatorOf(builder.get());
  ASSERT_EQ(api().validator_builder_allow_unknown_keys(builder.get(), 2), SETTINGS_NO_ERROR);
  auto allowing = validatorOf(builder.get());
  ASSERT_EQ(api().validator_builder_allow_unknown_keys(builder.get(), 0), SETTINGS_NO_ERROR);
  auto refusingAgain = validatorOf(builder.get());

  Context refused = newContext();
  EXPECT_EQ(importThrough(refused.get(), "other=1", refusing.get()), SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_TRUE(keysOf(refused.get()).empty());
  Context allowed = newContext();
  EXPECT_EQ(importThrough(allowed.get(), "other=1", allowing.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(textOf(allowed.get(), "other"), "1");
  Context refusedAgain = newContext();
  EXPECT_EQ(importThrough(refusedAgain.get(), "other=1", refusingAgain.get()),
            SETTINGS_INVALID_VALUE_ERROR);
}

settings_fixed_value_t const kEnableDisable[] = {
    {"1", 1, 0},
    {"0", 0, 0},
    {"Enable", 1, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
    {"Disable", 0, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
};

class FixedValues : public testing::Test {
 protected:
  // A context after importing text through a validator with the rows for "k".
  Context importWithRows(settings_fixed_value_t const* rows, int count, char const* text,
                         int expectedStatus = SETTINGS_NO_ERROR) {
    auto builder = newValidatorBuilder();
    EXPECT_EQ(api().validator_builder_set_fixed_value_validator(builder.get(), "k", rows, count),
              SETTINGS_NO_ERROR);
    auto validator = validatorOf(builder.get());
    Context context = newContext();
    EXPECT_EQ(importThrough(context.get(), text, validator.get()), expectedStatus) << text;
    return context;
  }
};

TEST_F(FixedValues, ListedTextIsStoredWithItsInteger) {
  Context context = importWithRows(kEnableDisable, 4, "k=enable");
  EXPECT_EQ(integerOf(context.get(), "k"), 1);
  EXPECT_EQ(textOf(context.get(), "k"), "Enable");
}

TEST_F(FixedValues, TextOutsideTheRowsIsRefusedWithItsLine) {
  Context context = importWithRows(kEnableDisable, 4, "k=1\nk=yes", SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(errorLinesOf(context.get()), std::vector<int>{1});
  EXPECT_EQ(integerOf(context.get(), "k"), 1);
}

TEST_F(FixedValues, CountOfZeroOrLessAddsNoRule) {
  for (int count : {0, -1}) {
    auto builder = newValidatorBuilder();
    EXPECT_EQ(api().validator_builder_set_fixed_value_validator(builder.get(), "k", kEnableDisable,
                                                                count),
              SETTINGS_NO_ERROR);
    ASSERT_EQ(api().validator_builder_allow_unknown_keys(builder.get(), 1), SETTINGS_NO_ERROR);
    auto validator = validatorOf(builder.get());
    Context context = newContext();
    // Without a rule the key is unknown, so anything passes untyped.
    EXPECT_EQ(importThrough(context.get(), "k=anything", validator.get()), SETTINGS_NO_ERROR);
    EXPECT_EQ(textOf(context.get(), "k"), "anything");
  }
}

TEST_F(FixedValues, RowWithoutTextFailsAndKeepsTheRowsBeforeIt) {
  settings_fixed_value_t const rows[] = {
      {"first", 1, 0}, {"second", 2, 0}, {nullptr, 3, 0}, {"fourth", 4, 0}};
  auto builder = newValidatorBuilder();
  EXPECT_EQ(api().validator_builder_set_fixed_value_validator(builder.get(), "k", rows, 4),
            SETTINGS_UNKNOWN_ERROR);
  auto validator = validatorOf(builder.get());
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "k=second", validator.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(integerOf(context.get(), "k"), 2);
  EXPECT_EQ(importThrough(context.get(), "k=first", validator.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(integerOf(context.get(), "k"), 1);
  EXPECT_EQ(importThrough(context.get(), "k=fourth", validator.get()),
            SETTINGS_INVALID_VALUE_ERROR);
}

TEST(DirnameRule, AbsoluteNamesOnlyUnlessTheCheckIsSkipped) {
  auto builder = newValidatorBuilder();
  ASSERT_EQ(api().validator_builder_set_dirname_validator(builder.get(), "checked", 0),
            SETTINGS_NO_ERROR);
  ASSERT_EQ(api().validator_builder_set_dirname_validator(builder.get(), "free", 1),
            SETTINGS_NO_ERROR);
  auto validator = validatorOf(builder.get());
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "checked=/opt/../x/\nfree=relative", validator.get()),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(textOf(context.get(), "checked"), "/opt/../x/");
  EXPECT_EQ(textOf(context.get(), "free"), "relative");
  EXPECT_EQ(importThrough(context.get(), "checked=relative", validator.get()),
            SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(textOf(context.get(), "checked"), "/opt/../x/");
}

TEST(Snapshots, ValidatorsOutliveTheirBuilderAndEachOther) {
  auto builder = newValidatorBuilder();
  ASSERT_EQ(api().validator_builder_set_integer_validator(builder.get(), "n"), SETTINGS_NO_ERROR);
  tamo_test::Validator first = validatorOf(builder.get());
  ASSERT_EQ(api().validator_builder_allow_unknown_keys(builder.get(), 1), SETTINGS_NO_ERROR);
  tamo_test::Validator second = validatorOf(builder.get());
  builder.reset();

  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "n=5\nother=x", first.get()),
            SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(keysOf(context.get()), Keys{"n"});
  first.reset();
  EXPECT_EQ(importThrough(context.get(), "n=6\nother=x", second.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), (Keys{"n", "other"}));
  EXPECT_EQ(integerOf(context.get(), "n"), 6);
}

TEST(Snapshots, LaterRulesDoNotReachAnEarlierValidator) {
  auto builder = newValidatorBuilder();
  ASSERT_EQ(api().validator_builder_allow_unknown_keys(builder.get(), 1), SETTINGS_NO_ERROR);
  auto before = validatorOf(builder.get());
  ASSERT_EQ(api().validator_builder_set_integer_validator(builder.get(), "n"), SETTINGS_NO_ERROR);
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "n=text", before.get()), SETTINGS_NO_ERROR);
}

TEST(KeyMappers, MapCaseInsensitivelyUnlessAsked) {
  auto builder = newKeyMapperBuilder();
  ASSERT_EQ(api().key_mapper_builder_map(builder.get(), "AUTO", "AUTO", 0), SETTINGS_NO_ERROR);
  ASSERT_EQ(api().key_mapper_builder_map(builder.get(), "Exact", "mapped", 1), SETTINGS_NO_ERROR);
  auto keyMapper = keyMapperOf(builder.get());
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "auto=1\nexact=2\nExact=3", nullptr, keyMapper.get()),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), (Keys{"AUTO", "exact", "mapped"}));
}

TEST(KeyMappers, RefusedMappingAddsNothing) {
  auto builder = newKeyMapperBuilder();
  EXPECT_EQ(api().key_mapper_builder_map(builder.get(), "k", nullptr, 0),
            SETTINGS_INVALID_ARGUMENT_ERROR);
  auto keyMapper = keyMapperOf(builder.get());
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "k=1", nullptr, keyMapper.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), Keys{"k"});
}

TEST(KeyMappers, SnapshotOutlivesTheBuilderAndIgnoresLaterMappings) {
  auto builder = newKeyMapperBuilder();
  ASSERT_EQ(api().key_mapper_builder_map(builder.get(), "a", "A", 0), SETTINGS_NO_ERROR);
  auto keyMapper = keyMapperOf(builder.get());
  ASSERT_EQ(api().key_mapper_builder_map(builder.get(), "b", "B", 0), SETTINGS_NO_ERROR);
  builder.reset();
  Context context = newContext();
  EXPECT_EQ(importThrough(context.get(), "a=1\nb=2", nullptr, keyMapper.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), (Keys{"A", "b"}));
}

}  // namespace
