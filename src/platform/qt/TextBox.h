#pragma once
// A multi-line text box whose Text() gives back exactly the text it was given,
// "\r\n" line breaks included (a plain text edit would normalise them).
#include <QPlainTextEdit>

class TextBox : public QPlainTextEdit {
  Q_OBJECT
public:
  explicit TextBox(QWidget* parent = nullptr);
  QString Text() const { return m_text; }
  void SetText(const QString& text);

private:
  QString m_text;
};
