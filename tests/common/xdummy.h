#pragma once

// An X.Org server with the dummy video driver and several RandR monitors at chosen places, on a
// display it picks itself (-displayfd): Qt sees one QScreen per monitor, as on a real desk
// (Xvfb gives one output per X screen, so Qt would see one). Needs xserver-xorg-core,
// xserver-xorg-video-dummy and xrandr (x11-xserver-utils); runs as root or as a user allowed
// to start Xorg. Ended by its owner.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QTemporaryDir>

class XDummy
{
public:
    // What is missing to start one, as one line naming the command and its package; empty when nothing.
    static QString missing()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xorg")).isEmpty())
            return QStringLiteral("Xorg not found: install xserver-xorg-core (scripts/setup.sh does)");
        if (!QFile::exists(QStringLiteral("/usr/lib/xorg/modules/drivers/dummy_drv.so")))
            return QStringLiteral("the dummy video driver not found: install xserver-xorg-video-dummy "
                                  "(scripts/setup.sh does)");
        if (QStandardPaths::findExecutable(QStringLiteral("xrandr")).isEmpty())
            return QStringLiteral("xrandr not found: install x11-xserver-utils (scripts/setup.sh does)");
        return {};
    }

    // Monitors in desktop pixels; the virtual screen holds them all. False with the reason in error().
    bool start(const QVector<QRect> &monitors)
    {
        if (!(m_error = missing()).isEmpty())
            return false;
        if (monitors.isEmpty() || monitors.size() > 8) // the driver has eight outputs
            return fail(QStringLiteral("from 1 to 8 monitors"));
        QRect all;
        for (const QRect &m : monitors)
            all |= m;
        all |= QRect(0, 0, 1, 1);
        QFile conf(m_dir.filePath(QStringLiteral("xorg.conf")));
        const QString text = QStringLiteral(R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam %1
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual %2 %3
  EndSubSection
EndSection
)")
                                 .arg(qint64(all.right() + 1) * (all.bottom() + 1) * 4 / 1024 + 16384)
                                 .arg(all.right() + 1)
                                 .arg(all.bottom() + 1);
        if (!m_dir.isValid() || !conf.open(QIODevice::WriteOnly) || conf.write(text.toUtf8()) < 0 || !conf.flush())
            return fail(QStringLiteral("cannot write ") + conf.fileName());
        m_process.start(QStringLiteral("Xorg"),
            {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-config"), conf.fileName(),
                QStringLiteral("-configdir"), m_dir.path(), QStringLiteral("-logfile"), log(),
                QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!m_process.waitForStarted(5000))
            return fail(QStringLiteral("Xorg did not start"));
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(15000))
                return fail(QStringLiteral("Xorg gave no display; see ") + log());
        m_display = QStringLiteral(":") + QString::fromLatin1(m_process.readLine().trimmed());

        QStringList outputs;
        for (int i = 0; i < monitors.size(); ++i) {
            const QRect &m = monitors.at(i);
            const int w = m.width(), h = m.height();
            const QString mode = QStringLiteral("m%1x%2").arg(w).arg(h);
            // A mode line the dummy accepts: about 60 Hz with small blanking. A second one of a size exists.
            xrandr({QStringLiteral("--newmode"), mode, QString::number((w + 160) * (h + 45) * 60 / 1000000 + 1),
                QString::number(w), QString::number(w + 48), QString::number(w + 80), QString::number(w + 160),
                QString::number(h), QString::number(h + 3), QString::number(h + 8), QString::number(h + 45)});
            const QString output = QStringLiteral("DUMMY%1").arg(i);
            if (!xrandr({QStringLiteral("--addmode"), output, mode}))
                return fail(QStringLiteral("xrandr --addmode %1 %2 failed").arg(output, mode));
            outputs << QStringLiteral("--output") << output << QStringLiteral("--mode") << mode
                    << QStringLiteral("--pos") << QStringLiteral("%1x%2").arg(m.x()).arg(m.y());
        }
        if (!xrandr(outputs))
            return fail(QStringLiteral("xrandr could not set the monitors; see ") + log());
        // A full query probes the outputs: until then the server reports the new ones as not
        // connected to a client that only reads the current resources, as Qt does.
        QByteArray query;
        if (!xrandr({QStringLiteral("--query")}, &query))
            return fail(QStringLiteral("xrandr --query failed"));
        for (int i = 0; i < monitors.size(); ++i)
            if (!query.contains(QStringLiteral("DUMMY%1 connected").arg(i).toLatin1()))
                return fail(QStringLiteral("DUMMY%1 is not connected: ").arg(i) + QString::fromLocal8Bit(query));
        return true;
    }

    // Moves monitor `index` (from 0) on the running server, as a user would in the display settings.
    bool move(int index, QPoint to)
    {
        return xrandr({QStringLiteral("--output"), QStringLiteral("DUMMY%1").arg(index), QStringLiteral("--pos"),
            QStringLiteral("%1x%2").arg(to.x()).arg(to.y())});
    }

    ~XDummy()
    {
        m_process.terminate(); // a no-op when it is not running
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    QString display() const { return m_display; }
    QString error() const { return m_error; }

private:
    QString log() const { return m_dir.filePath(QStringLiteral("Xorg.log")); }
    bool fail(const QString &why)
    {
        m_error = why;
        return false;
    }
    bool xrandr(const QStringList &args, QByteArray *out = nullptr)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("xrandr"), args);
        const bool done = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out)
            *out = p.readAllStandardOutput();
        return done;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_display, m_error;
};
