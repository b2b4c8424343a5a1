// Typed reads as strict as a script needs them: the whole text must be of
// the type, and the answer is printed in one canonical form.
#ifndef TAMO_SETTINGS_TOOL_TYPED_VALUE_H
#define TAMO_SETTINGS_TOOL_TYPED_VALUE_H

#include <string>

#include "library.h"

namespace tamo_tool {

enum class ValueType { TEXT, INT, BOOL, DOUBLE };

// "text", "int", "bool" or "double"; ToolError 64 otherwise.
ValueType valueTypeOf(std::string const& name);

// The value of key in context as type, canonical: integers in decimal,
// truth values "true" or "false", doubles as the shortest text that reads
// back exactly (plain decimal for exponents -6 to 20, e-notation beyond).
// Unless typedByRules (a validator gave the value its type, as the
// installer's tables do), the whole text must be the type in the forms the
// library's readers accept: integers decimal, 0x hexadecimal or 0 octal;
// doubles decimal with an optional exponent; truth values true, false, yes,
// no (any letter case), 1 or 0. ToolError 65 quoting the text otherwise.
std::string typedValue(settings_context_t* context, std::string const& key, ValueType type,
                       bool typedByRules);

// text itself read as type in the same way (for --default).
std::string typedText(std::string const& text, ValueType type);

// The shortest round-trip text of value in the form described above.
std::string canonicalDouble(double value);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_TYPED_VALUE_H
