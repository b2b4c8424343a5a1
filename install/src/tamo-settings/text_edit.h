// A settings text as lines, the few edits the tool makes to it, and the
// unified diff between two texts.
#ifndef TAMO_SETTINGS_TOOL_TEXT_EDIT_H
#define TAMO_SETTINGS_TOOL_TEXT_EDIT_H

#include <cstddef>
#include <cstdint>
#include <map>
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
// that line numbers stay those of the original. The edit does not copy the
// text: it keeps where each line starts, and only changed lines have texts
// of their own. The original must outlive the edit and stay where it is.
class TextEdit {
 public:
  explicit TextEdit(std::string_view original);

  std::size_t lineCount() const { return starts.size() - 1; }
  // The original content of line.
  std::string_view content(std::size_t line) const;
  void replace(std::size_t line, std::string content);
  void remove(std::size_t line);
  // A new last line, ended as the text's first line end.
  void append(std::string content);

  // The edited text, after prefix.
  std::string text(std::string_view prefix = {}) const;
  std::string diff(std::string const& name) const;

 private:
  enum class Op : unsigned char { KEEP, REPLACE, REMOVE };
  std::string_view whole(std::size_t line) const;
  std::string_view end(std::size_t line) const;
  // The end a kept last line without one gets when lines are appended.
  std::string_view endOf(std::size_t line) const;

  std::string_view original;
  // Where each line begins, and the end of the text last: four bytes a line
  // where views would take thirty-two.
  std::vector<std::uint32_t> starts;
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
