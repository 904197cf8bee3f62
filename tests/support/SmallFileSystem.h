#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

// A small file system of the test's own (tmpfs) mounted on a temporary folder, so that "No space left on
// device" comes from a real disk. Mounting needs root; without it isMounted() is false and the test skips.
// Unmounted when destroyed.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const char *size = "64k") {
        if (!m_mountPoint.isValid() || ::geteuid() != 0) {
            return;
        }
        const QByteArray options = QByteArray("size=") + size;
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_mountPoint.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                            options.constData()) == 0;
    }
    ~SmallFileSystem() {
        if (m_mounted) {
            // Lazily, so a file a failed test left open cannot keep the mount.
            ::umount2(QFile::encodeName(m_mountPoint.path()).constData(), MNT_DETACH);
        }
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool isMounted() const { return m_mounted; }
    QString path() const { return m_mountPoint.path(); }

    // Takes up every free byte with a file named `name`, so the next write that needs room fails.
    bool fill(const QString &name = QStringLiteral("filler")) const {
        QFile filler(m_mountPoint.filePath(name));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            return false;
        }
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) {
        }
        // Fill the last partial block too.
        while (filler.write("x", 1) == 1) {
        }
        return filler.error() != QFileDevice::NoError;
    }

private:
    QTemporaryDir m_mountPoint;
    bool m_mounted = false;
};
