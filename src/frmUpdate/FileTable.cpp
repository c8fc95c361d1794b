#include "frmUpdate/FileTable.h"

#include "platform/Controls.h"

int FileTable::Add(FileRow row)
{
  m_rows.push_back(std::move(row));
  m_changed.push_back(Count());
  return Count();
}

void FileTable::Clear()
{
  m_rows.clear();
  m_changed.clear();
}

void FileTable::SetRowText(int index, int column, std::string text)
{
  FileRow& row = Row(index);
  row.text[column] = std::move(text);
  if (!row.changed) {
    row.changed = true;
    m_changed.push_back(index);
  }
  if (RowChanged)
    RowChanged(index, column, row.text[column]);
}

void FileTable::Mirror()
{
  if (!m_view)
    return;
  m_view->SetRowCount(Count());
  for (const int index : m_changed) {
    FileRow& row = Row(index);
    m_view->ShowRow(index, std::vector<std::string>(std::begin(row.text), std::end(row.text)));
    row.changed = false;
  }
  m_changed.clear();
}
