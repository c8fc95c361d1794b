// Settings, size, name and address routines, without a network.
#include "modules/Module1.h"
#include "modules/modPublic.h"
#include "engine/Names.h"

#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

class Routines : public QObject {
  Q_OBJECT
private slots:
  void readIni_data()
  {
    QTest::addColumn<QByteArray>("file");   // null: no file at all
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    const QByteArray utf8 = QString("[Mervo]\n版本=2.0\n").toUtf8();
    QTest::newRow("no file") << QByteArray() << "a" << "k" << "";
    QTest::newRow("ascii case") << QByteArray("[MeRVO]\nVersion=1.2\n") << "mervo" << "VERSION" << "1.2";
    QTest::newRow("first section wins") << QByteArray("[a]\nj=1\n[A]\nk=2\n") << "A" << "k" << "";
    QTest::newRow("first key wins") << QByteArray("[a]\nK=1\nk=2\n") << "a" << "k" << "1";
    QTest::newRow("missing section") << QByteArray("[a]\nk=1\n") << "b" << "k" << "";
    QTest::newRow("spaces") << QByteArray("  [ a ]\n\t  k  =   v w  \r\n") << "a" << "k" << "v w";
    QTest::newRow("cut to 1023") << "[a]\nk=" + QByteArray(1500, 'x') << "a" << "k" << QString(1023, u'x');
    QTest::newRow("cut to 1023 characters") << "[a]\nk=" + QString(1500, u'版').toUtf8() << "a" << "k" << QString(1023, u'版');
    QTest::newRow("utf-8") << utf8 << "Mervo" << "版本" << "2.0";
    QTest::newRow("utf-8 bom") << "\xEF\xBB\xBF" + utf8 << "mervo" << "版本" << "2.0";
    QTest::newRow("gb18030") << QByteArray(QStringEncoder("GB18030")(QString("[Mervo]\n名称=中文\n版本=3.1\n")))
                             << "Mervo" << "版本" << "3.1";
  }
  void readIni()
  {
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QTemporaryDir dir;
    QFile out(dir.filePath("Mervo.ini"));
    if (!file.isNull()) {
      QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
      out.close();
    }
    SetIniFile(("  " + out.fileName() + "  ").toStdString());
    QTEST(QString::fromStdString(ReadIni(section.toStdString(), key.toStdString())), "expected");
  }

  void formatFileSize_data()
  {
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");
    // Halves round up here, unlike the progress bar.
    for (auto [bytes, text] : std::initializer_list<std::pair<qint64, const char*>>{
             {511, "0KB"}, {1536, "2KB"}, {2560, "3KB"}, {1048575, "1024KB"}, {1048576, "1.00MB"},
             {1179648, "1.13MB"}, {2097151, "2.00MB"}, {5368709120LL + 524288, "5120.50MB"}})
      QTest::newRow(QByteArray::number(bytes)) << bytes << QString(text);
  }
  void formatFileSize() { QFETCH(qint64, bytes); QTEST(QString::fromStdString(FormatFileSize(bytes)), "expected"); }

  void contentLength_data()
  {
    QTest::addColumn<QString>("value");
    QTest::addColumn<qint64>("expected");
    for (auto [value, length] : std::initializer_list<std::pair<const char*, qint64>>{
             {"3000000000", 3000000000LL}, {"abc", 0}, {"99999999999999999999999999", 0}})
      QTest::newRow(value) << QString(value) << length;
  }
  void contentLength() { QFETCH(QString, value); QTEST(qint64(ContentLengthOf(value.toStdString())), "expected"); }

  void progressPercent_data()
  {
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expected");
    // 23/40 and 109/200 are exact ties that a floating-point quotient misses.
    for (auto [done, total, percent] : std::initializer_list<std::tuple<qint64, qint64, int>>{
             {23, 40, 58}, {109, 200, 54}, {4000, 3000, 100}, {6442450944LL, 8589934592LL, 75}})
      QTest::newRow(QByteArray::number(done) + '/' + QByteArray::number(total)) << done << total << percent;
  }
  void progressPercent()
  {
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QTEST(ProgressPercent(done, total), "expected");
  }

  void safeName_data()
  {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    for (const char* good : {"中文 名#%.txt", "a..b.txt", "..a", "CONSOLE.txt", "sub\\com10", "COM⁴", "MervoUpdate.exe",
                             "sub\\MervoUpdate.log"})
      QTest::newRow(good) << QString::fromUtf8(good) << true;
    for (const char* bad : {"", "\\a", "/a", "c:a", "sub\\..\\..\\a", "a/../b", "a\\..", "a\nb", "a\xc2\x85" "b",
                            "a.txt:stream", "CON", "sub\\nul.txt", "Lpt9 .log", "dir.\\a", "a \\b", "a.", "a*.txt",
                            "a\\\\b", "com9.txt", "COM¹", "lpt³.log",
                            // the updater's own files
                            "newupdlist.XML", "MervoUpdate.ſtate", "MERVOUPDATE.JOURNAL", "MervoUpdate.log",
                            "MervoUpdate.log.1", "MervoUpdate.lock", "sub\\a.dll.TMP", "a.Updbak~"})
      QTest::newRow("bad:" + QByteArray(bad).toPercentEncoding("\\:./")) << QString::fromUtf8(bad) << false;
  }
  void safeName() { QFETCH(QString, name); QTEST(IsSafeRelativeName(name.toStdString()), "safe"); }

  // Windows takes two names for one file when they match under simple case folding or under upper-casing.
  void caseClash_data()
  {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("clash");
    for (auto [first, second, clash] : std::initializer_list<std::tuple<const char*, const char*, bool>>{
             {"sub/A.DLL", "Sub\\a.dll", true}, {"Ā.dll", "ā.dll", true}, {"Ａ.dll", "ａ.dll", true},
             {"Ÿ.dll", "ÿ.dll", true}, {"ı.dll", "I.dll", true}, {"\u212A.dll", "k.dll", true}, {"ẞ", "ß", true},
             {"𐐀", "𐐨", true}, {"a.dll", "a.dll", false}, {"ß", "ss", false}, {"a.dll", "b.dll", false}})
      QTest::newRow(QByteArray(first) + " " + second) << QString::fromUtf8(first) << QString::fromUtf8(second) << clash;
  }
  void caseClash()
  {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, clash);
    engine::CaseClashes names;
    QVERIFY(names.Add(first.toStdString()).empty());
    QCOMPARE(QString::fromStdString(names.Add(second.toStdString())), clash ? first : QString());
  }

  void fileUrl_data()
  {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("space") << "with space.txt" << "with%20space.txt";
    QTest::newRow("hash, percent, query") << "a#b%c?.txt" << "a%23b%25c%3F.txt";
    QTest::newRow("chinese in a subfolder") << "子\\中文.txt" << "%E5%AD%90/%E4%B8%AD%E6%96%87.txt";
  }
  void fileUrl()
  {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(FileUrl("http://127.0.0.1:8080/mrvo/", name.toStdString())),
             "http://127.0.0.1:8080/mrvo/" + expected);
  }

  void updateUrl_data()
  {
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("valid");
    QTest::newRow("https") << "https://update.example.com/mrvo/" << true;
    for (const char* bad : {"ftp://127.0.0.1/mrvo/", "", "http:///mrvo/", "not a url/"})
      QTest::newRow(bad) << QString(bad) << false;
  }
  void updateUrl() { QFETCH(QString, url); QTEST(IsValidUpdateUrl(url.toStdString()), "valid"); }
};

QTEST_GUILESS_MAIN(Routines)
#include "test_routines.moc"
