#pragma once
// The update plan: one row per listed file, numbered from 1 as the original list view's rows
// were. The platform's list view, never shown, only mirrors it.
#include "modules/modDownload.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ListView;

struct FileRow {
  // The written columns: name, version, size text, progress, size in bytes.
  std::string text[5];
  FileExpectation expected;  // what the list and the probe say the file is
  bool unchanged = false;    // already up to date: not downloaded
  bool changed = true;       // texts not yet mirrored to the list view
};

class FileTable {
public:
  void SetView(ListView* view) { m_view = view; }
  void Clear();
  // Appends a row and returns its index.
  int Add(FileRow row);
  int Count() const { return int(m_rows.size()); }
  FileRow& Row(int index) { return m_rows.at(index - 1); }
  const FileRow& Row(int index) const { return m_rows.at(index - 1); }
  const std::string& RowText(int index, int column) const { return Row(index).text[column]; }
  void SetRowText(int index, int column, std::string text);
  // Brings the list view up to date with the rows changed since the last mirror.
  void Mirror();

  // Told of every text written, for whoever follows the plan closer than the mirror does.
  std::function<void(int index, int column, const std::string& text)> RowChanged;

private:
  std::vector<FileRow> m_rows;
  std::vector<int> m_changed;  // rows to mirror, by index
  ListView* m_view = nullptr;
};
