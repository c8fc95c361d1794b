#include "platform/qt/TextBox.h"

TextBox::TextBox(QWidget* parent) : QPlainTextEdit(parent)
{
  setReadOnly(true);
}

void TextBox::SetText(const QString& text)
{
  m_text = text;
  QString shown = text;
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  setPlainText(shown);
  setAccessibleDescription(shown);
}
