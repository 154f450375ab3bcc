#pragma once

#include "db/replication/retention.h"
#include "db/replication/transfer.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>

class QTemporaryFile;

// Exchanges between members that do not share a file system: what one member sends another travels as a
// bundle, written into a file carried by hand or through a pipe to a partner behind SSH. Both carry one
// format, described in docs/remote.md: framed, versioned, with a checksum over every frame of a bundle.
namespace pell::db::replication {

// What a member tells a partner about itself: in a bundle's header, and at the start of an exchange over a
// pipe. The two marks are the member's side of the pair's marks (watermark and sentTo).
struct Standing {
    qint64 setId = 0;
    qint64 replicaId = 0;
    QString description;
    qint64 readOfPartner = 0; // how far it has read the partner's change stream
    qint64 partnerRead = 0;   // how far it has seen the partner read it
    qint64 clock = 0; // its clock or its time, the later, when it said so: of two accounts the later stands
    Clocks known;
    Clocks forgotten;
    Retention retention;
};
Standing standingOf(sqlite3* db, qint64 partner);
QByteArray standingBytes(const Standing& s);
std::optional<Standing> standingFromBytes(const QByteArray& bytes);

// Which member was put back from an older copy, by the two members' accounts (0 when neither was): it is
// behind what its partner remembers of their exchanges, having read less of the partner than the partner saw
// it read, or shown less than the partner has read. Every exchange decides it here, between files as over
// SSH.
qint64 putBack(const Standing& a, const Standing& b);
// Refuses (3622) when either member lacks what the other has forgotten: it has not exchanged within the
// retention period and must be made again from a current member. `aWhere`, `bWhere` name them.
void refuseExpired(const Standing& a, const QString& aWhere, const Standing& b, const QString& bWhere);

// The kinds of frames. A frame is its kind (one byte), its length (four bytes, big-endian) and its payload.
enum class Frame : quint8 {
    Hello = 1,    // client -> server: the path asked for, the client's set and identity
    Standing = 2, // either way: a Standing
    Plan = 3,     // client -> server: the mode, who is put back, whether clocks ahead are accepted
    Header = 4,   // a bundle begins: its sender's Standing, the partner it is for, the tables
    Change = 5,   // one version or conflict record
    End = 6,      // how far the bundle read its sender, what the sender held, the number of changes
    Sum = 7,      // the checksum (SumAlgorithm) of every frame of the bundle from its Header to its End
    Done = 8,     // a bundle was applied: how far the receiver has now read its sender
    Failure = 9,  // an error: its number and text; the exchange ends
    Bye = 10,
};

inline constexpr char Magic[] = "PELLXCH\n"; // eight bytes open a bundle file and each side of a pipe
inline constexpr quint32 FormatVersion = 1;
// The checksum finds damage, not forgery (OpenSSH guards the pipe; a bundle is carried as the database
// is). SHA-1 runs six times as fast as SHA-256 here, which a bundle of large values feels.
inline constexpr auto SumAlgorithm = QCryptographicHash::Sha1;

// Frames over file descriptors (a file, or the two ends of a pipe), read and written whole. `where` names
// the other end in errors. A read that ends inside a frame is a cut (`cut` error number).
class Channel {
public:
    Channel(int readFd, int writeFd, QString where, int cut);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void sendOpening();
    // Reads the other end's opening: refuses what is no bundle or pipe of ours, or of a newer format.
    void receiveOpening();
    void send(Frame kind, const QByteArray& payload);
    void flush();
    // False at the end of the input before a frame begins.
    bool receive(Frame* kind, QByteArray* payload);
    // The next frame, which must be of `kind`: a Failure frame is thrown as the error it carries.
    QByteArray expect(Frame kind);
    // Throws the error a Failure frame carries.
    [[noreturn]] void expectFailure(const QByteArray& payload);
    // Every frame sent or received from now on goes into the checksum, until takeSum().
    void startSum();
    QByteArray takeSum();
    const QString& where() const { return m_where; }
    qint64 bytesSent() const { return m_sent; }

private:
    void readExactly(char* into, qint64 size, bool* clean);
    int m_in;
    int m_out;
    QString m_where;
    int m_cut;
    QByteArray m_buffer; // to be written
    QByteArray m_input;  // read ahead, from m_inputAt on
    qsizetype m_inputAt = 0;
    qint64 m_sent = 0;
    std::unique_ptr<QCryptographicHash> m_sum;
};

// Whom a bundle is for and what it may leave out.
struct Target {
    qint64 replicaId = 0;
    qint64 from = 0; // the partner has read the sender up to here
    Clocks holds;    // the partner holds these versions (its own writes excepted when untrusted)
    qint64 untrusted = 0;
};

// What a bundle carried and how far it read its sender.
struct BundleEnd {
    qint64 position = 0;
    qint64 changes = 0;
    Clocks held; // what the sender held when it was read
};

// Writes what the partner lacks as one bundle, read in one transaction. The sender's own changes must
// already be versions (settleOwnChanges).
BundleEnd writeBundle(sqlite3* db, const Standing& sender, const Target& target, Channel& out);

// A bundle received whole and checked, held in a temporary file until it is applied.
class ReceivedBundle {
public:
    ~ReceivedBundle();
    ReceivedBundle(ReceivedBundle&&) noexcept;
    ReceivedBundle& operator=(ReceivedBundle&&) = delete;
    ReceivedBundle(const ReceivedBundle&) = delete;
    ReceivedBundle& operator=(const ReceivedBundle&) = delete;

    // Reads a bundle from its Header frame to its Sum frame (damage: 3630, naming the channel's other end).
    static ReceivedBundle receive(Channel& in);

    const Standing& sender() const { return m_sender; }
    qint64 partner() const { return m_target.replicaId; }
    // Applies the bundle to the member, in batches as an exchange does, after checking that it is for this
    // member and that neither lacks what the other forgot. `untrusted`: the member found put back (the
    // sender, the receiver or neither); unknown (-1) when the bundle came in a file, then it is decided
    // here from the two accounts. Returns what it did; the receiver's marks of the sender only move where
    // the bundle starts at or before them.
    DirectionStats apply(const Member& me, int batchSize, qint64 untrusted, bool acceptClockAhead);

private:
    ReceivedBundle();
    struct Table;
    struct Source;
    // The bundle's n-th change in the receiver's terms; none for a table the receiver does not follow.
    std::optional<Change> read(qint64 number, qint64* seq);
    // Makes m_index, once.
    void index();

    std::unique_ptr<QTemporaryFile> m_file;
    const uchar* m_map = nullptr; // the file, mapped once it is whole
    Standing m_sender;
    Target m_target;
    BundleEnd m_end;
    std::vector<Table> m_tables;
    std::vector<qint64> m_offsets;     // of each change frame's payload, with its length after it
    QHash<QByteArray, qint64> m_index; // the sender's table and key of each version -> its change number
    bool m_indexed = false;
    QString m_where;
};

// The marks a member keeps of partners it meets through bundles: how far it has exported to each, and the
// partner's latest account of itself.
qint64 exportedTo(sqlite3* db, qint64 partner);
void storeExported(sqlite3* db, qint64 partner, qint64 position);
std::optional<Standing> lastStanding(sqlite3* db, qint64 partner);
// Whether an account a partner gave is worth keeping over the one kept: it is later and tells more of what
// the partner holds (an exchange with nothing new then writes nothing).
bool newsIn(const std::optional<Standing>& kept, const Standing& told);
void storeStanding(sqlite3* db, const Standing& partner);

} // namespace pell::db::replication
