#include "app/inifile.h"

#include "core/error.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pell {

namespace {

// Line input of the old runtime: a carriage return ends a line (a line feed after it is skipped); a line
// feed alone does not, so a file of bare line feeds is one long line.
class LineReader {
public:
    explicit LineReader(const QByteArray& data) : m_data(data) {}
    bool atEnd() const { return m_pos >= m_data.size(); }
    QString readLine() {
        if (atEnd())
            throw Error::make(err::InputPastEnd);
        const qsizetype start = m_pos;
        while (m_pos < m_data.size() && m_data.at(m_pos) != '\r')
            ++m_pos;
        const QByteArray line = m_data.mid(start, m_pos - start);
        if (m_pos < m_data.size()) {
            ++m_pos; // the carriage return
            if (m_pos < m_data.size() && m_data.at(m_pos) == '\n')
                ++m_pos;
        }
        return QString::fromLocal8Bit(line);
    }

private:
    const QByteArray& m_data;
    qsizetype m_pos = 0;
};

QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

void READ_DATABASE_SECTION(AppState& state, LineReader& reader) {
    for (;;) {
        const QString line = reader.readLine();
        if (line.contains(u'['))
            return;
        if (!line.startsWith(u';')) {
            const QString upper = line.toUpper();
            if (upper.contains(QLatin1String("DATABASE")))
                state.DATABASE_PATH = iniLineValue(line);
            if (upper.contains(QLatin1String("REPLICADB")))
                state.REPLICADB_PATH = iniLineValue(line);
        }
        if (reader.atEnd())
            return;
    }
}

} // namespace

QString iniLineValue(const QString& line) {
    const qsizetype eq = line.indexOf(u'=');
    return trimBlanks(eq < 0 ? line : line.mid(eq + 1));
}

void readIniText(AppState& state, const QByteArray& contents) {
    LineReader reader(contents);
    QString line = reader.readLine();
    for (;;) {
        if (reader.atEnd())
            return; // the line just read is never examined
        if (line.toUpper().contains(QLatin1String("[DATABASE]"))) {
            READ_DATABASE_SECTION(state, reader);
            return;
        }
        line = reader.readLine();
    }
}

void READ_INI(AppState& state) {
    const QString path = state.inProgramFolder(QStringLiteral("pell.ini"));
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        throw Error::make(err::FileNotFound, path);
    if (S_ISLNK(st.st_mode) && ::stat(name.constData(), &st) != 0)
        throw Error::make(
            err::FileNotFound,
            path + QStringLiteral(" (a link to %1, which does not exist)").arg(QFile::symLinkTarget(path)));
    // Never blocks: a pipe or a device in its place would hold start-up forever.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw Error::make(err::PermissionDenied, path);
    QFile file;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle)) {
        ::close(fd);
        throw Error(err::PathFileAccess, standardText(err::PathFileAccess) + u' ' + path +
                                             QStringLiteral(" (not a regular file)"));
    }
    const QByteArray contents = file.readAll();
    readIniText(state, contents);
}

} // namespace pell
