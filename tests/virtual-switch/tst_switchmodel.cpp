#include "switchmodel.h"

#include <QtTest>

class TestSwitchModel : public QObject
{
    Q_OBJECT

private slots:
    // "request>reply" in a row on one switch (checksum filled in unless "!", reply compared as far as given).
    void exchanges_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("after");
        QTest::newRow("malformed") << "4600000000000047!>c601|!>8001|5000000000000000>d001|4000000000000000>c001|"
                                      "46000000000000>c601|460000000000000000>c601|4301010000800700>c301|"
                                      "4700000000000000>c701|4703000000000000>c701"
                                   << "1/1 2 0: 1920x1080";
        QTest::newRow("switching") << "4904000007320000>c901|4900000007320000>c901|4909000007320000>c901|"
                                      "4903010207320000>c900|4905090901010000>c901|4800000000000000>c8000301020732"
                                   << "3/3 2 0: 1920x1080";
        // An upload takes effect at its close frame, only with the right count; a new open starts over.
        QTest::newRow("upload") << "43010100008007380400>c301|4500000000000000>c501|4201000000000000>c200|"
                                   "43040203050005d00200>c300|4201000000000000>c200|43050100000004000300>c300|"
                                   "44010000060000000000>c400|4503000000000000>c501|4502000000000000>c501"
                                << "1/1 2 0: 1920x1080";
        QTest::newRow("upload closed") << "4201000000000000>c200|43050100000004000300>c300|"
                                          "44010000060000000000>c400|4502000000000000>c500"
                                       << "1/1 1 6: 1024x768";
    }
    void exchanges()
    {
        QFETCH(QString, steps);
        QFETCH(QString, after);
        SwitchModel sw;
        sw.presentMask = 0x07;
        sw.monitors = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 1920, 1080}};
        int handedTo = 1;
        sw.onSwitched = [&](int port) {
            handedTo = port;
        };
        for (const QString &step : steps.split(QLatin1Char('|'))) {
            const QStringList parts = step.split(QLatin1Char('>'));
            QByteArray request = QByteArray::fromHex(parts.at(0).toLatin1());
            if (!parts.at(0).endsWith(QLatin1Char('!')))
                request[request.size() - 1] = char(SwitchModel::checksum(request));
            const QByteArray reply = sw.handle(3, request), expected = QByteArray::fromHex(parts.at(1).toLatin1());
            QVERIFY2(reply.startsWith(expected), qPrintable(step + QLatin1Char(' ') + QLatin1String(reply.toHex())));
        }
        const auto &m = sw.monitors.first();
        QCOMPARE(QString::asprintf("%d/%d %d %d: %dx%d", handedTo, sw.currentPort, int(sw.monitors.size()),
                     sw.mousePosition, m.width, m.height),
            after);
    }
};

QTEST_GUILESS_MAIN(TestSwitchModel)
#include "tst_switchmodel.moc"
