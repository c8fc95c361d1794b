#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"
#include <QtTest>
#include <QPushButton>
class Smoke : public QObject {
  Q_OBJECT
private slots:
  void run() {
    MessageLog log; ProgramFolder folder; TestServer server;
    server.File("UpdList.xml", UpdateList("1.1", {"A"}, {{"a.txt","1"}}, "a.txt"));
    server.File("a.txt", "hello");
    auto w = LoadWindow(server.BaseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), QStringLiteral("发现更新文件 ，点【更新】开始更新..."), 5000);
    QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), QStringLiteral("更新完成！"), 5000);
    QCOMPARE(folder.Read("a.txt"), QByteArray("hello"));
    qDebug() << log.Texts() << folder.Files();
  }
};
QTEST_MAIN(Smoke)
#include "test_smoke.moc"
