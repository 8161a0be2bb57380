#include "sim/scenario_files.h"

#include <sys/stat.h>

#include <cstdio>

std::string Shown(const std::string& text, std::size_t width) {
  return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

std::string NextLine(const std::string& text, std::size_t* at) {
  std::size_t end = text.find_first_of("\r\n", *at);
  end = end == std::string::npos ? text.size() : end;
  std::string line = text.substr(*at, end - *at);
  *at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  return line;
}

bool ParseNumber(const std::string& word, unsigned long long max, unsigned long long* value) {
  bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  unsigned base = hex ? 16 : 10;
  std::size_t i = hex ? 2 : 0;
  if (i >= word.size()) {
    return false;
  }
  unsigned long long v = 0;
  for (; i < word.size(); ++i) {
    char c = word[i];
    unsigned digit = c >= '0' && c <= '9'          ? static_cast<unsigned>(c - '0')
                     : hex && c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                     : hex && c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                                   : 99;
    // Checked before it is added, so no value wraps past `max`.
    if (digit >= base || v > (max - digit) / base) {
      return false;
    }
    v = v * base + digit;
  }
  *value = v;
  return true;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes) {
  bytes->clear();
  // Told from its kind before it is opened: opening a FIFO would wait for a writer.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return "cannot read " + Shown(path);
  }
  if ((info.st_mode & S_IFMT) != S_IFREG) {
    return Shown(path) + " is not a regular file";
  }
  if (static_cast<unsigned long long>(info.st_size) > limit) {
    return Shown(path) + " holds more than " + std::to_string(limit) + " bytes";
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return "cannot read " + Shown(path);
  }
  // The size may have changed since: never read past the limit.
  bytes->reserve(static_cast<std::size_t>(info.st_size));
  char chunk[4096];
  std::size_t n = 0;
  do {
    n = std::fread(chunk, 1, sizeof chunk, f);
    bytes->append(chunk, n);
  } while (n == sizeof chunk && bytes->size() <= limit);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    return "cannot read " + Shown(path);
  }
  if (bytes->size() > limit) {
    return Shown(path) + " holds more than " + std::to_string(limit) + " bytes";
  }
  return "";
}

// Splits a line into words; "double quotes" keep blanks inside a word.
bool SplitWords(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    if (line[i] == '#') {
      break;
    }
    std::string word;
    if (line[i] == '"') {
      std::size_t end = line.find('"', i + 1);
      if (end == std::string::npos) {
        return false;
      }
      word = line.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
        word += line[i++];
      }
    }
    words->push_back(word);
  }
  return true;
}

bool HexByte(const std::string& word, std::uint8_t* byte) {
  unsigned long long v = 0;
  if (word.empty() || word.size() > 2 || !ParseNumber("0x" + word, 0xFF, &v)) {
    return false;
  }
  *byte = static_cast<std::uint8_t>(v);
  return true;
}
