// A settings text as lines, the few edits the tool makes to it, and the
// unified diff between two texts.
#ifndef TAMO_SETTINGS_TOOL_TEXT_EDIT_H
#define TAMO_SETTINGS_TOOL_TEXT_EDIT_H

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tamo_tool {

struct Line {
  std::string content;
  std::string end;  // "\n", "\r\n", "\r", or empty for a last line without one
};

// Cut as the library's parser cuts: at CR LF, a lone CR and a lone LF. Line
// i is the parser's line i; the empty line after a final line end is left out.
std::vector<Line> splitLines(std::string_view text);
std::string joinLines(std::vector<Line> const& lines);

// content with its value (after the separator, blanks at both ends kept in
// place) replaced by value.
std::string withValue(std::string_view content, std::string const& value);

// Changes to an original text, applied only when asked for the result, so
// that line numbers stay those of the original. The lines are views into
// the text the edit keeps; only changed lines have texts of their own.
class TextEdit {
 public:
  explicit TextEdit(std::string original);

  // The original content of line.
  std::string_view content(std::size_t line) const { return lines.at(line).content; }
  void replace(std::size_t line, std::string content);
  void remove(std::size_t line);
  // A new last line, ended as the text's first line end.
  void append(std::string content);

  std::string text() const;
  std::string diff(std::string const& name) const;

 private:
  struct View {
    std::string_view content;
    std::string_view end;
  };
  enum class Op { KEEP, REPLACE, REMOVE };
  // The end a kept last line without one gets when lines are appended.
  std::string_view endOf(std::size_t line) const;

  // On the heap, so that the views stay valid when the edit is moved.
  std::unique_ptr<std::string const> original;
  std::vector<View> lines;
  std::vector<Op> ops;
  std::map<std::size_t, std::string> replacements;
  std::vector<std::string> appended;
  std::string lineEnd;
};

// A unified diff of two whole texts with three lines of context; empty when
// they are equal.
std::string unifiedDiff(std::string const& name, std::string_view before, std::string_view after);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_TEXT_EDIT_H
