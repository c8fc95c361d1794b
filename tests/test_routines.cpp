// Settings, path, size and address routines, without a network.
#include "modules/Module1.h"
#include "modules/modPublic.h"

#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

namespace {
bool Touch(const QString& path)
{
  QFile file(path);
  return file.open(QIODevice::WriteOnly);
}
}

class Routines : public QObject {
  Q_OBJECT
private slots:
  void readIni_data()
  {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    const QByteArray utf8 = QString("[Mervo]\n版本=2.0\n").toUtf8();
    QTest::newRow("ascii case") << QByteArray("[MeRVO]\nVersion=1.2\n") << "mervo" << "VERSION" << "1.2";
    QTest::newRow("first section wins") << QByteArray("[a]\nk=1\n[A]\nk=2\nj=3\n") << "A" << "k" << "1";
    QTest::newRow("later duplicate section") << QByteArray("[a]\nk=1\n[A]\nj=3\n") << "a" << "j" << "";
    QTest::newRow("first key wins") << QByteArray("[a]\nK=1\nk=2\n") << "a" << "k" << "1";
    QTest::newRow("spaces removed") << QByteArray("[ a ]\n  k  =   v w  \r\n") << "a" << "k" << "v w";
    QTest::newRow("cut to 1023") << "[a]\nk=" + QByteArray(1500, 'x') << "a" << "k" << QString(1023, u'x');
    QTest::newRow("empty value") << QByteArray("[a]\nk=\nj=2\n") << "a" << "k" << "";
    QTest::newRow("missing section") << QByteArray("[a]\nk=1\n") << "b" << "k" << "";
    QTest::newRow("missing key") << QByteArray("[a]\nk=1\n[b]\nj=2\n") << "a" << "j" << "";
    QTest::newRow("comment") << QByteArray("[a]\n;k=1\nk=2\n") << "a" << "k" << "2";
    QTest::newRow("commented section") << QByteArray(";[a]\nk=1\n[a]\nj=2\n") << "a" << "j" << "2";
    QTest::newRow("indented") << QByteArray("  [a]\n\t  k=5\n") << "a" << "k" << "5";
    QTest::newRow("utf-8") << utf8 << "Mervo" << "版本" << "2.0";
    QTest::newRow("utf-8 bom") << "\xEF\xBB\xBF" + utf8 << "mervo" << "版本" << "2.0";
    QTest::newRow("gb18030") << QByteArray(QStringEncoder("GB18030")(QString("[Mervo]\n名称=中文\n版本=3.1\n")))
                             << "Mervo" << "版本" << "3.1";
    QTest::newRow("long lines") << "[a]\nj=" + QByteArray(300, 'y') + "\nk=" + QByteArray(250, 'z') << "a" << "k"
                                << QString(250, u'z');
  }
  void readIni()
  {
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QTemporaryDir dir;
    QFile out(dir.filePath("Mervo.ini"));
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    out.close();
    SetIniFile("  " + out.fileName() + "  ");
    QTEST(ReadIni(section, key), "expected");
    SetIniFile(dir.filePath("absent.ini"));
    QCOMPARE(ReadIni(section, key), QString());
  }

  void folders()
  {
    QCOMPARE(GetDirPart("a\\b\\c.txt", "\\"), QString("a\\b\\"));
    QCOMPARE(GetDirPart("c.txt", "\\"), QString());
    QCOMPARE(AddBackslash(""), QString("\\"));
    QCOMPARE(AddBackslash("a\\"), QString("a\\"));

    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(MakeDir(root + "\\one\\two"));
    QVERIFY(QFileInfo(root + "/one/two").isDir());
    QVERIFY(MakeDir(root + "\\one\\two"));
    QVERIFY(Touch(root + "/one/file"));
    QVERIFY(!MakeDir(root + "\\one\\file\\three"));
    QVERIFY(Touch(root + "/one/two/a"));
    QVERIFY(FileExists(root + "\\one\\two\\a", 0));
    QVERIFY(!FileExists(root + "\\one\\two", 0));
    QVERIFY(FileExists(root + "\\one\\two", vbDirectory));
    QVERIFY(!FileExists(root + "\\one\\missing", vbDirectory));
  }

  void formatFileSize_data()
  {
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");
    // Halves round up here, unlike the progress bar.
    for (auto [bytes, text] : std::initializer_list<std::pair<qint64, const char*>>{
             {0, "0KB"}, {511, "0KB"}, {512, "1KB"}, {1536, "2KB"}, {2560, "3KB"}, {1048575, "1024KB"},
             {1048576, "1.00MB"}, {1179648, "1.13MB"}, {1572864, "1.50MB"}, {2097151, "2.00MB"},
             {3221225472LL + 10486, "3072.01MB"}, {5368709120LL + 524288, "5120.50MB"}})
      QTest::newRow(QByteArray::number(bytes)) << bytes << QString(text);
  }
  void formatFileSize() { QFETCH(qint64, bytes); QTEST(FormatFileSize(bytes), "expected"); }

  void contentLength_data()
  {
    QTest::addColumn<QString>("value");
    QTest::addColumn<qint64>("expected");
    for (auto [value, length] : std::initializer_list<std::pair<const char*, qint64>>{
             {"123", 123}, {"123abc", 123}, {"", 0}, {"abc", 0}, {" 42", 42}, {"3000000000", 3000000000LL},
             {"99999999999999999999999999", 0}})
      QTest::newRow(value) << QString(value) << length;
  }
  void contentLength() { QFETCH(QString, value); QTEST(ContentLengthOf(value), "expected"); }

  void progressPercent_data()
  {
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expected");
    // 23/40 and 109/200 are exact ties that a floating-point quotient misses.
    for (auto [done, total, percent] : std::initializer_list<std::tuple<qint64, qint64, int>>{
             {1024, 3000, 34}, {2048, 3000, 68}, {3000, 3000, 100}, {1, 200, 0}, {3, 200, 2}, {5, 200, 2},
             {23, 40, 58}, {109, 200, 54}, {4000, 3000, 100}, {5, 0, 0}, {6442450944LL, 8589934592LL, 75}})
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
    for (const char* good : {"a.dll", "sub\\a.dll", "中文 名#%.txt", "a..b.txt", "..a"})
      QTest::newRow(good) << QString::fromUtf8(good) << true;
    for (const char* bad : {"", "\\a", "/a", "C:\\a", "c:a", "..\\a", "..", "sub\\..\\..\\a", "./a",
                            "a\\.\\b", "a/../b", "a\\..", "a\nb", "a\tb", "a\x7f" "b"})
      QTest::newRow("bad:" + QByteArray(bad).toPercentEncoding("\\:./")) << QString::fromUtf8(bad) << false;
  }
  void safeName() { QFETCH(QString, name); QTEST(IsSafeRelativeName(name), "safe"); }

  void fileUrl_data()
  {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("space") << "with space.txt" << "with%20space.txt";
    QTest::newRow("hash, percent, query") << "a#b%c?.txt" << "a%23b%25c%3F.txt";
    QTest::newRow("chinese") << "中文.txt" << "%E4%B8%AD%E6%96%87.txt";
    QTest::newRow("backslash") << "sub\\deep\\a b.dll" << "sub/deep/a%20b.dll";
  }
  void fileUrl()
  {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(FileUrl("http://127.0.0.1:8080/mrvo/", name), "http://127.0.0.1:8080/mrvo/" + expected);
  }

  void updateUrl_data()
  {
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("valid");
    for (const char* good : {"http://127.0.0.1:8080/mrvo/", "https://update.example.com/mrvo/"})
      QTest::newRow(good) << QString(good) << true;
    for (const char* bad : {"http://127.0.0.1/mrvo", "ftp://127.0.0.1/mrvo/", "", "http:///mrvo/", "not a url/"})
      QTest::newRow(bad) << QString(bad) << false;
  }
  void updateUrl() { QFETCH(QString, url); QTEST(IsValidUpdateUrl(url), "valid"); }
};

QTEST_GUILESS_MAIN(Routines)
#include "test_routines.moc"
