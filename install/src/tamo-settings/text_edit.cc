#include "text_edit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tamo_tool {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// One line of a diff: ' ' kept, '-' removed, '+' added.
struct DiffLine {
  char op;
  std::string_view content;
  std::string_view end;
};

DiffLine diffLine(char op, Line const& line) {
  return DiffLine{op, line.content, line.end};
}

void appendDiffLine(std::string& out, DiffLine const& entry) {
  out += entry.op;
  out += entry.content;
  if (entry.end.empty()) {
    out += "\n\\ No newline at end of file\n";
  } else {
    out += entry.end;
  }
}

std::string hunkRange(std::size_t start, std::size_t count) {
  // An empty range names the line before it, as diff does.
  std::size_t const first = count == 0 ? start : start + 1;
  return std::to_string(first) + "," + std::to_string(count);
}

constexpr std::size_t kContext = 3;

// Groups changes into hunks with kContext kept lines around each.
std::string formatHunks(std::string const& name, std::vector<DiffLine> const& entries) {
  std::string out;
  std::size_t index = 0;
  std::size_t oldLine = 0;
  std::size_t newLine = 0;
  while (index < entries.size()) {
    auto const changed = std::find_if(entries.begin() + index, entries.end(),
                                      [](DiffLine const& e) { return e.op != ' '; });
    if (changed == entries.end())
      break;
    std::size_t const firstChange = changed - entries.begin();
    std::size_t const start = firstChange > index + kContext ? firstChange - kContext : index;
    oldLine += start - index;
    newLine += start - index;
    // The hunk ends where more than twice the context of kept lines follow.
    std::size_t end = firstChange;
    std::size_t kept = 0;
    for (std::size_t i = firstChange; i < entries.size() && kept <= 2 * kContext; ++i) {
      kept = entries[i].op == ' ' ? kept + 1 : 0;
      end = i + 1;
    }
    if (kept > kContext)
      end -= kept - kContext;
    std::size_t oldCount = 0;
    std::size_t newCount = 0;
    std::string body;
    for (std::size_t i = start; i < end; ++i) {
      oldCount += entries[i].op != '+';
      newCount += entries[i].op != '-';
      appendDiffLine(body, entries[i]);
    }
    if (out.empty())
      out = "--- " + name + "\n+++ " + name + "\n";
    out += "@@ -" + hunkRange(oldLine, oldCount) + " +" + hunkRange(newLine, newCount) + " @@\n";
    out += body;
    oldLine += oldCount;
    newLine += newCount;
    index = end;
  }
  return out;
}

bool sameLine(Line const& a, Line const& b) {
  return a.content == b.content && a.end == b.end;
}

// Longest common subsequence over the lines between the common head and
// tail; above this many cells the middle is shown as removed and added.
constexpr std::size_t kLargestTable = 4000000;

void diffMiddle(std::vector<Line> const& a, std::size_t aBegin, std::size_t aEnd,
                std::vector<Line> const& b, std::size_t bBegin, std::size_t bEnd,
                std::vector<DiffLine>& out) {
  std::size_t const n = aEnd - aBegin;
  std::size_t const m = bEnd - bBegin;
  if (n == 0 || m == 0 || n * m > kLargestTable) {
    for (std::size_t i = aBegin; i < aEnd; ++i)
      out.push_back(diffLine('-', a[i]));
    for (std::size_t j = bBegin; j < bEnd; ++j)
      out.push_back(diffLine('+', b[j]));
    return;
  }
  std::vector<std::size_t> table((n + 1) * (m + 1), 0);
  auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return table[i * (m + 1) + j]; };
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = m; j-- > 0;) {
      at(i, j) = sameLine(a[aBegin + i], b[bBegin + j]) ? at(i + 1, j + 1) + 1
                                                        : std::max(at(i + 1, j), at(i, j + 1));
    }
  }
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && sameLine(a[aBegin + i], b[bBegin + j])) {
      out.push_back(diffLine(' ', a[aBegin + i++]));
      ++j;
    } else if (j < m && (i == n || at(i, j + 1) >= at(i + 1, j))) {
      out.push_back(diffLine('+', b[bBegin + j++]));
    } else {
      out.push_back(diffLine('-', a[aBegin + i++]));
    }
  }
}

}  // namespace

std::vector<Line> splitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t const end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back({std::string(text.substr(start)), ""});
      break;
    }
    std::size_t const endSize =
        text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
    lines.push_back(
        {std::string(text.substr(start, end - start)), std::string(text.substr(end, endSize))});
    start = end + endSize;
  }
  return lines;
}

std::string joinLines(std::vector<Line> const& lines) {
  std::string text;
  for (Line const& line : lines)
    text += line.content + line.end;
  return text;
}

std::string withValue(std::string_view content, std::string const& value) {
  std::size_t const separator = content.find_first_of("=:");
  if (separator == std::string_view::npos)
    return std::string(content);
  std::size_t start = separator + 1;
  while (start < content.size() && isBlank(content[start]))
    ++start;
  std::size_t end = content.size();
  while (end > start && isBlank(content[end - 1]))
    --end;
  return std::string(content.substr(0, start)) + value + std::string(content.substr(end));
}

namespace {

// The start of the line after the one at start: past its first CR or LF,
// and past the LF of a CR LF. nextCr and nextLf are where memchr found the
// next of each (null: none is left), so each is searched for once per byte
// of the text.
std::size_t nextLineStart(std::string_view text, std::size_t start, char const*& nextCr,
                          char const*& nextLf) {
  char const* const from = text.data() + start;
  char const* const last = text.data() + text.size();
  if (nextCr != nullptr && nextCr < from)
    nextCr = static_cast<char const*>(std::memchr(from, '\r', last - from));
  if (nextLf != nullptr && nextLf < from)
    nextLf = static_cast<char const*>(std::memchr(from, '\n', last - from));
  char const* end = nextCr == nullptr   ? nextLf
                    : nextLf == nullptr ? nextCr
                                        : std::min(nextCr, nextLf);
  if (end == nullptr)
    return text.size();
  if (*end == '\r' && end + 1 < last && end[1] == '\n')
    ++end;
  return static_cast<std::size_t>(end - text.data()) + 1;
}

}  // namespace

TextEdit::TextEdit(std::string_view text) : original(text) {
  if (text.size() >= UINT32_MAX)
    throw std::length_error("text too large to edit");
  // One line per LF, and one after the last: exact for most files, so the
  // index is made without growing.
  std::size_t lines = 1;
  for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1))
    ++lines;
  starts.reserve(lines + 1);
  char const* nextCr = nullptr;
  char const* nextLf = nullptr;
  if (!text.empty()) {
    nextCr = static_cast<char const*>(std::memchr(text.data(), '\r', text.size()));
    nextLf = static_cast<char const*>(std::memchr(text.data(), '\n', text.size()));
  }
  for (std::size_t start = 0; start < text.size();
       start = nextLineStart(text, start, nextCr, nextLf))
    starts.push_back(static_cast<std::uint32_t>(start));
  starts.push_back(static_cast<std::uint32_t>(text.size()));
  ops.assign(lineCount(), Op::KEEP);
  std::size_t const end = text.find_first_of("\r\n");
  lineEnd = end == std::string_view::npos   ? "\n"
            : text.substr(end, 2) == "\r\n" ? "\r\n"
                                            : std::string(1, text[end]);
}

std::string_view TextEdit::whole(std::size_t line) const {
  return original.substr(starts[line], starts[line + 1] - starts[line]);
}

std::string_view TextEdit::end(std::size_t line) const {
  std::string_view const text = whole(line);
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n")
    return text.substr(text.size() - 2);
  if (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    return text.substr(text.size() - 1);
  return {};
}

std::string_view TextEdit::content(std::size_t line) const {
  if (line >= lineCount())
    throw std::out_of_range("no such line");
  std::string_view const text = whole(line);
  return text.substr(0, text.size() - end(line).size());
}

void TextEdit::replace(std::size_t line, std::string content) {
  ops.at(line) = Op::REPLACE;
  replacements[line] = std::move(content);
}

void TextEdit::remove(std::size_t line) {
  ops.at(line) = Op::REMOVE;
}

void TextEdit::append(std::string content) {
  appended.push_back(std::move(content));
}

// Only the last line can lack an end; it gets one before anything is
// added after it.
std::string_view TextEdit::endOf(std::size_t line) const {
  std::string_view const own = end(line);
  return own.empty() && !appended.empty() ? std::string_view(lineEnd) : own;
}

// Kept lines are copied in runs, not one by one.
std::string TextEdit::text(std::string_view prefix) const {
  std::string result;
  result.reserve(prefix.size() + original.size() + 64 * (replacements.size() + appended.size()));
  result += prefix;
  std::size_t runStart = 0;
  auto flushRun = [&](std::size_t upTo) { result += original.substr(runStart, upTo - runStart); };
  for (std::size_t i = 0; i < lineCount(); ++i) {
    bool const lastNeedsEnd = i + 1 == lineCount() && end(i).empty() && !appended.empty();
    if (ops[i] == Op::KEEP && !lastNeedsEnd)
      continue;
    flushRun(starts[i]);
    runStart = starts[i + 1];
    if (ops[i] == Op::REMOVE)
      continue;
    result += ops[i] == Op::KEEP ? content(i) : std::string_view(replacements.at(i));
    result += endOf(i);
  }
  flushRun(original.size());
  for (std::string const& line : appended)
    result += line + lineEnd;
  return result;
}

std::string TextEdit::diff(std::string const& name) const {
  std::vector<DiffLine> entries;
  entries.reserve(lineCount() + appended.size() + replacements.size());
  for (std::size_t i = 0; i < lineCount(); ++i) {
    std::string_view const before = content(i);
    std::string_view const ownEnd = end(i);
    std::string_view const newEnd = endOf(i);
    if (ops[i] == Op::KEEP && newEnd == ownEnd) {
      entries.push_back({' ', before, ownEnd});
      continue;
    }
    std::string_view const after =
        ops[i] == Op::REPLACE ? std::string_view(replacements.at(i)) : before;
    if (ops[i] != Op::REMOVE && after == before && newEnd == ownEnd) {
      entries.push_back({' ', before, ownEnd});
      continue;
    }
    entries.push_back({'-', before, ownEnd});
    if (ops[i] != Op::REMOVE)
      entries.push_back({'+', after, newEnd});
  }
  for (std::string const& content : appended)
    entries.push_back({'+', content, lineEnd});
  return formatHunks(name, entries);
}

std::string unifiedDiff(std::string const& name, std::string_view before, std::string_view after) {
  std::vector<Line> const a = splitLines(before);
  std::vector<Line> const b = splitLines(after);
  std::size_t head = 0;
  while (head < a.size() && head < b.size() && sameLine(a[head], b[head]))
    ++head;
  std::size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head &&
         sameLine(a[a.size() - 1 - tail], b[b.size() - 1 - tail]))
    ++tail;
  std::vector<DiffLine> entries;
  for (std::size_t i = 0; i < head; ++i)
    entries.push_back(diffLine(' ', a[i]));
  diffMiddle(a, head, a.size() - tail, b, head, b.size() - tail, entries);
  for (std::size_t i = a.size() - tail; i < a.size(); ++i)
    entries.push_back(diffLine(' ', a[i]));
  return formatHunks(name, entries);
}

}  // namespace tamo_tool
