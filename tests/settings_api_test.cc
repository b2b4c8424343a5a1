// The C table, contexts and their queries, used as a C caller would.
#include <gtest/gtest.h>
#include <tamo/settings.h>

#include <array>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "api_test_support.h"
#include "share/status.h"

namespace {

using tamo_test::api;
using tamo_test::Context;
using tamo_test::contextWith;
using tamo_test::errorLinesOf;
using tamo_test::keysOf;
using tamo_test::newContext;
using tamo_test::textOf;

using Slots = std::array<void (*)(), 32>;

Slots slotsOf(settings_api_t const& table) {
  static_assert(sizeof(Slots) == sizeof(settings_api_t), "one slot per function");
  Slots slots;
  std::memcpy(slots.data(), &table, sizeof table);
  return slots;
}

TEST(SettingsTable, NullTableIsIgnored) {
  settings_api_get(nullptr);
}

TEST(SettingsTable, EveryFillHoldsTheSameNonNullFunctions) {
  settings_api_t first;
  settings_api_t second;
  std::memset(&first, 0, sizeof first);
  std::memset(&second, 0xA5, sizeof second);
  settings_api_get(&first);
  settings_api_get(&second);
  Slots const firstSlots = slotsOf(first);
  EXPECT_EQ(firstSlots, slotsOf(second));
  for (std::size_t slot = 0; slot < firstSlots.size(); ++slot) {
    EXPECT_NE(firstSlots[slot], nullptr) << "slot " << slot;
  }
}

// Every pointer argument of every function, one at a time: 300, and neither
// the context nor any out-parameter touched.
struct Arguments {
  settings_context_t* context;
  settings_validator_builder_t* validatorBuilder;
  settings_key_mapper_builder_t* keyMapperBuilder;
  char const* text;
  int number;
  double real;
  settings_error_desc_t const* errors;
  settings_validator_t* validator;
  settings_key_mapper_t* keyMapper;
};

settings_fixed_value_t const kRows[] = {{"on", 1, 0}};

void ignoreKey(settings_context_t*, int, int, char const*, void*) {}

struct NullArgumentCase {
  char const* name;
  int (*call)(Arguments& a);
};

NullArgumentCase const kNullArgumentCases[] = {
    {"SystemPathContext",
     [](Arguments& a) { return api().context_get_system_config_file_path(nullptr, &a.text); }},
    {"SystemPathPath",
     [](Arguments& a) { return api().context_get_system_config_file_path(a.context, nullptr); }},
    {"ImportFileContext",
     [](Arguments&) {
       return api().context_import_from_file(nullptr, "/nonexistent", nullptr, nullptr, 1, 0);
     }},
    {"ImportFileName",
     [](Arguments& a) {
       return api().context_import_from_file(a.context, nullptr, nullptr, nullptr, 1, 0);
     }},
    {"ImportStringContext",
     [](Arguments&) {
       return api().context_import_from_string(nullptr, "k=2", nullptr, nullptr, 1, 0);
     }},
    {"ImportStringText",
     [](Arguments& a) {
       return api().context_import_from_string(a.context, nullptr, nullptr, nullptr, 1, 0);
     }},
    {"ImportContextContext",
     [](Arguments& a) { return api().context_import_from_context(nullptr, a.context); }},
    {"ImportContextSource",
     [](Arguments& a) { return api().context_import_from_context(a.context, nullptr); }},
    {"ImportErrorsContext",
     [](Arguments& a) {
       return api().context_get_last_import_errors(nullptr, &a.errors, &a.number);
     }},
    {"ImportErrorsErrors",
     [](Arguments& a) {
       return api().context_get_last_import_errors(a.context, nullptr, &a.number);
     }},
    {"ImportErrorsCount",
     [](Arguments& a) {
       return api().context_get_last_import_errors(a.context, &a.errors, nullptr);
     }},
    {"ExportContext", [](Arguments&) { return api().context_export_to_file(nullptr, "x.cfg"); }},
    {"ExportFileName",
     [](Arguments& a) { return api().context_export_to_file(a.context, nullptr); }},
    {"IsEmptyContext", [](Arguments& a) { return api().context_is_empty(nullptr, &a.number); }},
    {"IsEmptyValue", [](Arguments& a) { return api().context_is_empty(a.context, nullptr); }},
    {"IsEqualContext",
     [](Arguments& a) { return api().context_is_equal(nullptr, a.context, &a.number); }},
    {"IsEqualOther",
     [](Arguments& a) { return api().context_is_equal(a.context, nullptr, &a.number); }},
    {"IsEqualValue",
     [](Arguments& a) { return api().context_is_equal(a.context, a.context, nullptr); }},
    {"IterateContext",
     [](Arguments&) { return api().context_iterate_keys(nullptr, ignoreKey, nullptr); }},
    {"IterateCallback",
     [](Arguments& a) { return api().context_iterate_keys(a.context, nullptr, nullptr); }},
    {"Utf8Context",
     [](Arguments& a) { return api().context_get_utf8_value(nullptr, "k", &a.text); }},
    {"Utf8Key",
     [](Arguments& a) { return api().context_get_utf8_value(a.context, nullptr, &a.text); }},
    {"Utf8Value",
     [](Arguments& a) { return api().context_get_utf8_value(a.context, "k", nullptr); }},
    {"BooleanContext",
     [](Arguments& a) { return api().context_get_boolean_value(nullptr, "k", &a.number); }},
    {"BooleanKey",
     [](Arguments& a) { return api().context_get_boolean_value(a.context, nullptr, &a.number); }},
    {"BooleanValue",
     [](Arguments& a) { return api().context_get_boolean_value(a.context, "k", nullptr); }},
    {"IntegerContext",
     [](Arguments& a) { return api().context_get_integer_value(nullptr, "k", &a.number); }},
    {"IntegerKey",
     [](Arguments& a) { return api().context_get_integer_value(a.context, nullptr, &a.number); }},
    {"IntegerValue",
     [](Arguments& a) { return api().context_get_integer_value(a.context, "k", nullptr); }},
    {"DoubleContext",
     [](Arguments& a) { return api().context_get_double_value(nullptr, "k", &a.real); }},
    {"DoubleKey",
     [](Arguments& a) { return api().context_get_double_value(a.context, nullptr, &a.real); }},
    {"DoubleValue",
     [](Arguments& a) { return api().context_get_double_value(a.context, "k", nullptr); }},
    {"EraseContext", [](Arguments&) { return api().context_erase_key(nullptr, "k"); }},
    {"EraseKey", [](Arguments& a) { return api().context_erase_key(a.context, nullptr); }},
    {"CreateValidatorBuilder",
     [](Arguments& a) { return api().validator_builder_create_validator(nullptr, &a.validator); }},
    {"CreateValidatorValidator",
     [](Arguments& a) {
       return api().validator_builder_create_validator(a.validatorBuilder, nullptr);
     }},
    {"Utf8RuleBuilder",
     [](Arguments&) { return api().validator_builder_set_utf8_validator(nullptr, "k"); }},
    {"Utf8RuleKey",
     [](Arguments& a) {
       return api().validator_builder_set_utf8_validator(a.validatorBuilder, nullptr);
     }},
    {"IntegerRuleBuilder",
     [](Arguments&) { return api().validator_builder_set_integer_validator(nullptr, "k"); }},
    {"IntegerRuleKey",
     [](Arguments& a) {
       return api().validator_builder_set_integer_validator(a.validatorBuilder, nullptr);
     }},
    {"BooleanRuleBuilder",
     [](Arguments&) { return api().validator_builder_set_boolean_validator(nullptr, "k"); }},
    {"BooleanRuleKey",
     [](Arguments& a) {
       return api().validator_builder_set_boolean_validator(a.validatorBuilder, nullptr);
     }},
    {"DoubleRuleBuilder",
     [](Arguments&) { return api().validator_builder_set_double_validator(nullptr, "k"); }},
    {"DoubleRuleKey",
     [](Arguments& a) {
       return api().validator_builder_set_double_validator(a.validatorBuilder, nullptr);
     }},
    {"AllowUnknownKeysBuilder",
     [](Arguments&) { return api().validator_builder_allow_unknown_keys(nullptr, 1); }},
    {"FixedValueBuilder",
     [](Arguments&) {
       return api().validator_builder_set_fixed_value_validator(nullptr, "k", kRows, 1);
     }},
    {"FixedValueKey",
     [](Arguments& a) {
       return api().validator_builder_set_fixed_value_validator(a.validatorBuilder, nullptr, kRows,
                                                                1);
     }},
    {"FixedValueRows",
     [](Arguments& a) {
       return api().validator_builder_set_fixed_value_validator(a.validatorBuilder, "k", nullptr,
                                                                1);
     }},
    {"DirnameRuleBuilder",
     [](Arguments&) { return api().validator_builder_set_dirname_validator(nullptr, "k", 1); }},
    {"DirnameRuleKey",
     [](Arguments& a) {
       return api().validator_builder_set_dirname_validator(a.validatorBuilder, nullptr, 1);
     }},
    {"CreateKeyMapperBuilder",
     [](Arguments& a) {
       return api().key_mapper_builder_create_key_mapper(nullptr, &a.keyMapper);
     }},
    {"CreateKeyMapperKeyMapper",
     [](Arguments& a) {
       return api().key_mapper_builder_create_key_mapper(a.keyMapperBuilder, nullptr);
     }},
    {"MapBuilder", [](Arguments&) { return api().key_mapper_builder_map(nullptr, "a", "b", 0); }},
    {"MapFrom",
     [](Arguments& a) {
       return api().key_mapper_builder_map(a.keyMapperBuilder, nullptr, "b", 0);
     }},
    {"MapTo",
     [](Arguments& a) {
       return api().key_mapper_builder_map(a.keyMapperBuilder, "a", nullptr, 0);
     }},
};

class NullArgument : public testing::TestWithParam<NullArgumentCase> {};

TEST_P(NullArgument, IsRefusedAndTouchesNothing) {
  Context context = contextWith("k=1");
  tamo_test::ValidatorBuilder validatorBuilder(api().validator_builder_create());
  tamo_test::KeyMapperBuilder keyMapperBuilder(api().key_mapper_builder_create());
  static settings_error_desc_t const kUntouchedErrors[1] = {{-7}};
  auto* const untouchedValidator = reinterpret_cast<settings_validator_t*>(&context);
  auto* const untouchedKeyMapper = reinterpret_cast<settings_key_mapper_t*>(&context);
  Arguments arguments{
      context.get(), validatorBuilder.get(), keyMapperBuilder.get(), "untouched",       -7,
      -7.5,          kUntouchedErrors,       untouchedValidator,     untouchedKeyMapper};

  EXPECT_EQ(GetParam().call(arguments), SETTINGS_INVALID_ARGUMENT_ERROR);

  EXPECT_STREQ(arguments.text, "untouched");
  EXPECT_EQ(arguments.number, -7);
  EXPECT_EQ(arguments.real, -7.5);
  EXPECT_EQ(arguments.errors, kUntouchedErrors);
  EXPECT_EQ(arguments.validator, untouchedValidator);
  EXPECT_EQ(arguments.keyMapper, untouchedKeyMapper);
  EXPECT_EQ(keysOf(context.get()), std::vector<std::string>{"k"});
  EXPECT_EQ(textOf(context.get(), "k"), "1");
}

INSTANTIATE_TEST_SUITE_P(EveryFunction, NullArgument, testing::ValuesIn(kNullArgumentCases),
                         [](testing::TestParamInfo<NullArgumentCase> const& info) {
                           return std::string(info.param.name);
                         });

TEST(Context, NewContextIsEmptyWithoutErrorsAndKnowsTheSystemFile) {
  Context context = newContext();
  ASSERT_NE(context, nullptr);
  int empty = 0;
  EXPECT_EQ(api().context_is_empty(context.get(), &empty), SETTINGS_NO_ERROR);
  EXPECT_EQ(empty, 1);
  char const* path = nullptr;
  EXPECT_EQ(api().context_get_system_config_file_path(context.get(), &path), SETTINGS_NO_ERROR);
  EXPECT_STREQ(path, "/etc/Vardel/Tamo/tamo.settings.cfg");
  settings_error_desc_t const kSentinel{-1};
  settings_error_desc_t const* errors = &kSentinel;
  int count = -1;
  EXPECT_EQ(api().context_get_last_import_errors(context.get(), &errors, &count),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(count, 0);
}

// Typed reads of one context: each row reads a key as a type.
enum class Read { Utf8, Boolean, Integer, Double };

struct QueryCase {
  char const* name;
  Read read;
  char const* key;
  int status;
  double expected;           // for the numeric reads
  char const* expectedText;  // for Utf8
};

char const kQueryText[] = "text=hello\nhex=0x10\nreal=2.5\nflag\nzero=0\nword=abc";

QueryCase const kQueryCases[] = {
    {"Utf8OfText", Read::Utf8, "text", SETTINGS_NO_ERROR, 0, "hello"},
    {"Utf8OfKeyWithoutValue", Read::Utf8, "flag", SETTINGS_TYPE_MISMATCH_ERROR, 0, nullptr},
    {"Utf8OfAbsentKey", Read::Utf8, "absent", SETTINGS_KEY_NOT_FOUND_ERROR, 0, nullptr},
    {"IntegerOfHex", Read::Integer, "hex", SETTINGS_NO_ERROR, 16, nullptr},
    {"IntegerOfWord", Read::Integer, "word", SETTINGS_VALUE_FORMAT_ERROR, 0, nullptr},
    {"IntegerOfAbsentKey", Read::Integer, "absent", SETTINGS_KEY_NOT_FOUND_ERROR, 0, nullptr},
    {"BooleanOfKeyWithoutValueIsTrue", Read::Boolean, "flag", SETTINGS_NO_ERROR, 1, nullptr},
    {"BooleanOfZero", Read::Boolean, "zero", SETTINGS_NO_ERROR, 0, nullptr},
    {"BooleanOfWord", Read::Boolean, "word", SETTINGS_VALUE_FORMAT_ERROR, 0, nullptr},
    {"BooleanOfAbsentKey", Read::Boolean, "absent", SETTINGS_KEY_NOT_FOUND_ERROR, 0, nullptr},
    {"DoubleOfReal", Read::Double, "real", SETTINGS_NO_ERROR, 2.5, nullptr},
    {"DoubleOfKeyWithoutValue", Read::Double, "flag", SETTINGS_TYPE_MISMATCH_ERROR, 0, nullptr},
};

class Query : public testing::TestWithParam<QueryCase> {};

constexpr int kUntouchedNumber = -99;

TEST_P(Query, GivesTheValueOrLeavesTheOutputAlone) {
  QueryCase const& row = GetParam();
  Context context = contextWith(kQueryText);
  int number = kUntouchedNumber;
  double real = kUntouchedNumber;
  char const* text = nullptr;
  int status = -1;
  switch (row.read) {
    case Read::Utf8:
      status = api().context_get_utf8_value(context.get(), row.key, &text);
      break;
    case Read::Boolean:
      status = api().context_get_boolean_value(context.get(), row.key, &number);
      break;
    case Read::Integer:
      status = api().context_get_integer_value(context.get(), row.key, &number);
      break;
    case Read::Double:
      status = api().context_get_double_value(context.get(), row.key, &real);
      break;
  }
  ASSERT_EQ(status, row.status);
  bool const ok = row.status == SETTINGS_NO_ERROR;
  switch (row.read) {
    case Read::Utf8:
      if (ok) {
        EXPECT_STREQ(text, row.expectedText);
      } else {
        EXPECT_EQ(text, nullptr);
      }
      break;
    case Read::Double:
      EXPECT_EQ(real, ok ? row.expected : kUntouchedNumber);
      break;
    default:
      EXPECT_EQ(number, ok ? static_cast<int>(row.expected) : kUntouchedNumber);
  }
}

INSTANTIATE_TEST_SUITE_P(TypedReads, Query, testing::ValuesIn(kQueryCases),
                         [](testing::TestParamInfo<QueryCase> const& info) {
                           return std::string(info.param.name);
                         });

struct EqualityCase {
  char const* name;
  char const* first;
  char const* second;
  int equal;
};

EqualityCase const kEqualityCases[] = {
    {"TwoEmpty", "", "", 1},
    {"SameEntries", "a=1\nb", "b\na=1", 1},
    {"ValueDiffers", "a=1", "a=2", 0},
    {"OneKeyMore", "a=1", "a=1\nb=2", 0},
};

class Equality : public testing::TestWithParam<EqualityCase> {};

TEST_P(Equality, ComparesEntriesBothWays) {
  Context first = contextWith(GetParam().first);
  Context second = contextWith(GetParam().second);
  int forward = -1;
  int backward = -1;
  EXPECT_EQ(api().context_is_equal(first.get(), second.get(), &forward), SETTINGS_NO_ERROR);
  EXPECT_EQ(api().context_is_equal(second.get(), first.get(), &backward), SETTINGS_NO_ERROR);
  EXPECT_EQ(forward, GetParam().equal);
  EXPECT_EQ(backward, GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(Contexts, Equality, testing::ValuesIn(kEqualityCases),
                         [](testing::TestParamInfo<EqualityCase> const& info) {
                           return std::string(info.param.name);
                         });

TEST(Equality, ContextEqualsItself) {
  Context context = contextWith("a=1\nb");
  int equal = 0;
  EXPECT_EQ(api().context_is_equal(context.get(), context.get(), &equal), SETTINGS_NO_ERROR);
  EXPECT_EQ(equal, 1);
}

struct Visit {
  std::string key;
  int index;
  int count;
};

struct Visitor {
  std::vector<Visit> visits;
  settings_context_t* expectedContext = nullptr;
  int (*action)(settings_context_t*, char const*) = nullptr;
};

void recordVisit(settings_context_t* context, int count, int index, char const* key,
                 void* userData) {
  auto* visitor = static_cast<Visitor*>(userData);
  EXPECT_EQ(context, visitor->expectedContext);
  visitor->visits.push_back(Visit{key, index, count});
  if (visitor->action != nullptr) {
    EXPECT_EQ(visitor->action(context, key), SETTINGS_NO_ERROR);
  }
}

std::vector<std::string> visitedKeys(Visitor const& visitor) {
  std::vector<std::string> keys;
  for (Visit const& visit : visitor.visits)
    keys.push_back(visit.key);
  return keys;
}

TEST(Iteration, VisitsKeysInByteOrderWithIndexAndCount) {
  Context context = contextWith("b=1\na=2\nB");
  Visitor visitor;
  visitor.expectedContext = context.get();
  EXPECT_EQ(api().context_iterate_keys(context.get(), recordVisit, &visitor), SETTINGS_NO_ERROR);
  ASSERT_EQ(visitor.visits.size(), 3u);
  EXPECT_EQ(visitedKeys(visitor), (std::vector<std::string>{"B", "a", "b"}));
  for (int index = 0; index < 3; ++index) {
    EXPECT_EQ(visitor.visits[index].index, index);
    EXPECT_EQ(visitor.visits[index].count, 3);
  }
}

TEST(Iteration, EmptyContextNeverCallsBack) {
  Context context = newContext();
  EXPECT_EQ(api().context_iterate_keys(
                context.get(),
                [](settings_context_t*, int, int, char const*, void*) { ADD_FAILURE(); }, nullptr),
            SETTINGS_NO_ERROR);
}

TEST(Iteration, CallbackThatErasesEveryKeyStillSeesThemAll) {
  Context context = contextWith("b=1\na=2");
  Visitor visitor;
  visitor.expectedContext = context.get();
  visitor.action = [](settings_context_t* c, char const* key) {
    return api().context_erase_key(c, key);
  };
  EXPECT_EQ(api().context_iterate_keys(context.get(), recordVisit, &visitor), SETTINGS_NO_ERROR);
  EXPECT_EQ(visitedKeys(visitor), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(keysOf(context.get()).empty());
}

TEST(Iteration, KeysImportedByTheCallbackAreNotVisited) {
  Context context = contextWith("m=1");
  Visitor visitor;
  visitor.expectedContext = context.get();
  visitor.action = [](settings_context_t* c, char const*) {
    return tamo_test::importText(c, "a=1\nz=2");
  };
  EXPECT_EQ(api().context_iterate_keys(context.get(), recordVisit, &visitor), SETTINGS_NO_ERROR);
  EXPECT_EQ(visitedKeys(visitor), std::vector<std::string>{"m"});
  EXPECT_EQ(keysOf(context.get()), (std::vector<std::string>{"a", "m", "z"}));
}

// What a callback throws ends the iteration and comes out as a status.
struct ThrowCase {
  char const* name;
  void (*raise)();
  int status;
};

ThrowCase const kThrowCases[] = {
    {"LibraryException", [] { throw settings_impl::KeyNotFoundError(); },
     SETTINGS_KEY_NOT_FOUND_ERROR},
    {"OutOfMemory", [] { throw std::bad_alloc(); }, SETTINGS_UNKNOWN_ERROR},
    {"NotAStandardException", [] { throw 42; }, SETTINGS_UNKNOWN_ERROR},
};

class ThrowingCallback : public testing::TestWithParam<ThrowCase> {};

TEST_P(ThrowingCallback, StopsTheIterationWithAStatus) {
  Context context = contextWith("a=1\nb=2");
  struct Calls {
    void (*raise)();
    int count = 0;
  } calls{GetParam().raise};
  int const status = api().context_iterate_keys(
      context.get(),
      [](settings_context_t*, int, int, char const*, void* userData) {
        auto* c = static_cast<Calls*>(userData);
        ++c->count;
        c->raise();
      },
      &calls);
  EXPECT_EQ(status, GetParam().status);
  EXPECT_EQ(calls.count, 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ThrowingCallback, testing::ValuesIn(kThrowCases),
                         [](testing::TestParamInfo<ThrowCase> const& info) {
                           return std::string(info.param.name);
                         });

TEST(EraseKey, RemovesOnlyThatKey) {
  Context context = contextWith("a=1\nb=2\nc");
  EXPECT_EQ(api().context_erase_key(context.get(), "b"), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(api().context_erase_key(context.get(), "c"), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), std::vector<std::string>{"a"});
}

TEST(EraseKey, AbsentKeyIsReportedAndChangesNothing) {
  Context context = contextWith("a=1");
  char const* before = nullptr;
  ASSERT_EQ(api().context_get_utf8_value(context.get(), "a", &before), SETTINGS_NO_ERROR);
  EXPECT_EQ(api().context_erase_key(context.get(), "A"), SETTINGS_KEY_NOT_FOUND_ERROR);
  // The configuration was not replaced, so the text is still readable here.
  EXPECT_STREQ(before, "1");
  EXPECT_EQ(keysOf(context.get()), std::vector<std::string>{"a"});
}

// Pointers handed out stay usable for as long as promised; under
// AddressSanitizer a pointer into a released configuration fails these.
TEST(PointerLifetime, ValueTextOutlivesCallsThatKeepTheConfiguration) {
  Context context = contextWith("a=text");
  Context other = contextWith("b=1");
  char const* text = nullptr;
  ASSERT_EQ(api().context_get_utf8_value(context.get(), "a", &text), SETTINGS_NO_ERROR);
  int flag = 0;
  api().context_is_empty(context.get(), &flag);
  api().context_is_equal(context.get(), other.get(), &flag);
  api().context_get_integer_value(context.get(), "a", &flag);
  keysOf(context.get());
  EXPECT_EQ(api().context_erase_key(context.get(), "absent"), SETTINGS_KEY_NOT_FOUND_ERROR);
  EXPECT_EQ(tamo_test::importFile(context.get(), ""), SETTINGS_INVALID_FILENAME_ERROR);
  EXPECT_EQ(tamo_test::importText(context.get(), "\x80"), SETTINGS_BUFFER_ENCODING_ERROR);
  api().context_import_from_context(other.get(), context.get());
  EXPECT_STREQ(text, "text");
}

TEST(PointerLifetime, SystemPathOutlivesEveryChange) {
  Context context = newContext();
  char const* path = nullptr;
  ASSERT_EQ(api().context_get_system_config_file_path(context.get(), &path), SETTINGS_NO_ERROR);
  tamo_test::importText(context.get(), "a=1");
  tamo_test::importText(context.get(), "bad line");
  api().context_erase_key(context.get(), "a");
  api().context_import_from_context(context.get(), context.get());
  EXPECT_STREQ(path, "/etc/Vardel/Tamo/tamo.settings.cfg");
}

TEST(PointerLifetime, ErrorRecordsOutliveEverythingButTheNextTextImport) {
  Context context = newContext();
  tamo_test::ImportOptions keepGoing;
  keepGoing.failFast = false;
  ASSERT_EQ(tamo_test::importText(context.get(), "a=1\nbad\nb=2\nworse", keepGoing),
            SETTINGS_INVALID_VALUE_ERROR);
  settings_error_desc_t const* errors = nullptr;
  int count = 0;
  ASSERT_EQ(api().context_get_last_import_errors(context.get(), &errors, &count),
            SETTINGS_NO_ERROR);
  Context other = contextWith("c=3");
  api().context_import_from_context(context.get(), other.get());
  api().context_erase_key(context.get(), "a");
  EXPECT_EQ(tamo_test::importFile(context.get(), ""), SETTINGS_INVALID_FILENAME_ERROR);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(errors[0].line, 1);
  EXPECT_EQ(errors[1].line, 3);
  EXPECT_EQ(errorLinesOf(context.get()), (std::vector<int>{1, 3}));
}

}  // namespace
