#include "core/error.h"

namespace pell {

Error::Error(int number, QString text)
    : m_number(number), m_text(std::move(text)),
      m_what(std::to_string(number) + ": " + m_text.toStdString()) {}

Error Error::make(int number, const QString& detail) {
    QString text = standardText(number);
    if (!detail.isEmpty())
        text += u' ' + detail;
    return Error(number, text);
}

QString standardText(int number) {
    switch (number) {
    case err::FileNotFound:
        return QStringLiteral("File not found.");
    case err::DiskFull:
        return QStringLiteral("Disk full.");
    case err::InputPastEnd:
        return QStringLiteral("Input past end of file.");
    case err::PermissionDenied:
        return QStringLiteral("Permission denied.");
    case err::PathFileAccess:
        return QStringLiteral("Path/File access error.");
    case err::PathNotFound:
        return QStringLiteral("Path not found.");
    case err::ReservedDuplicate:
        return QStringLiteral("The record could not be saved because its key is already in use.");
    case err::UpdateWithoutEdit:
        return QStringLiteral("There is no new or edited record to save or cancel.");
    case err::NoCurrentRecord:
        return QStringLiteral("There is no current record.");
    case err::DuplicateKey:
        return QStringLiteral("The record was not saved: another record already has the same value in a "
                              "field that must be unique.");
    case err::FileNotFoundDb:
        return QStringLiteral("The database file could not be found.");
    case err::ReadOnly:
        return QStringLiteral("The database is read-only; the change was not saved.");
    case err::DiskIo:
        return QStringLiteral("A disk or network error occurred while reading or writing the database.");
    case err::InvalidPath:
        return QStringLiteral("The path of the database is not valid or its folder does not exist.");
    case err::FileInUse:
        return QStringLiteral("The database is in use by another user and cannot be opened exclusively.");
    case err::Corrupt:
        return QStringLiteral("The database file is damaged. Use Repair Database to recover its data.");
    case err::NoPermission:
        return QStringLiteral("You do not have permission to open the database file.");
    case err::SyntaxError:
        return QStringLiteral("The query text is not valid.");
    case err::CriteriaSyntax:
        return QStringLiteral("The search criteria are not valid.");
    case err::TableNotFound:
        return QStringLiteral("The table or query could not be found in the database.");
    case err::RecordDeleted:
        return QStringLiteral("The record has been deleted.");
    case err::ChangedByOther:
        return QStringLiteral("The record was changed by another user after you started editing it; your "
                              "changes were not saved.");
    case err::RelatedRecords:
        return QStringLiteral("The record cannot be deleted or its key changed because other records refer "
                              "to it.");
    case err::RelatedRecordRequired:
        return QStringLiteral("The record cannot be saved because a record it refers to does not exist.");
    case err::DatabaseExists:
        return QStringLiteral("A file already exists at the destination.");
    case err::InvalidOperation:
        return QStringLiteral("The operation is not valid here.");
    case err::NotReplicable:
        return QStringLiteral("The database is not replicable.");
    case err::Locked:
        return QStringLiteral("The record or table is locked by another user; try again in a moment.");
    case err::ItemNotFound:
        return QStringLiteral("The field does not exist in this record set.");
    case err::PropertyNotFound:
        return QStringLiteral("The database has no such property.");
    case err::NullNotAllowed:
        return QStringLiteral("A required field has no value.");
    case err::NotADatabase:
        return QStringLiteral("The file is not a database of a format this program can read.");
    case err::OpenedExclusively:
        return QStringLiteral("The database is opened exclusively by another user.");
    case err::AlreadyExists:
        return QStringLiteral("An object of that name already exists.");
    case err::DifferentReplicaSet:
        return QStringLiteral("The databases are not members of the same replica set.");
    case err::InvalidExchangeMode:
        return QStringLiteral("The exchange mode is not valid.");
    case err::ClockAhead:
        return QStringLiteral("A member's clock is too far ahead of this machine's; nothing was exchanged.");
    case err::BundleDamaged:
        return QStringLiteral("The exchange is damaged or incomplete; nothing was changed.");
    case err::BundleForeign:
        return QStringLiteral("The exchange was not made for this database; nothing was changed.");
    case err::BundleTooNew:
        return QStringLiteral(
            "The exchange was written by a newer version of the program; nothing was changed.");
    case err::RemoteUnreachable:
        return QStringLiteral("The remote member could not be reached; nothing was exchanged.");
    case err::RemoteLoginRefused:
        return QStringLiteral("The remote machine refused the login; nothing was exchanged.");
    case err::RemoteProgram:
        return QStringLiteral("pelldb on the remote machine is missing or of another version; nothing was "
                              "exchanged.");
    case err::ConnectionCut:
        return QStringLiteral("The connection was cut during the exchange. What each side committed stays; "
                              "the next exchange finishes the work.");
    case err::InvalidRemote:
        return QStringLiteral("The remote location is not valid; write it as "
                              "ssh://[user@]host[:port]/path/to/member.mdb.");
    case err::SyncWithSelf:
        return QStringLiteral("A database cannot be synchronized with itself.");
    case err::NotAReplica:
        return QStringLiteral("The partner database is not a replica.");
    case err::ConflictNotFound:
        return QStringLiteral("There is no conflict with that number.");
    case err::ConflictChangedSince:
        return QStringLiteral(
            "The record has changed since the conflict; the lost version was not restored.");
    case err::ConflictWouldBreak:
        return QStringLiteral(
            "Restoring the lost version would break a relationship between records; it was not "
            "restored.");
    case err::ConflictClosed:
        return QStringLiteral("The conflict is already closed.");
    case err::RetentionOnMasterOnly:
        return QStringLiteral(
            "The retention period of a replica set is set on its master; exchanges carry it "
            "to the other members.");
    case err::RetentionOutOfRange:
        return QStringLiteral("The retention period must be a whole number of days from 1 to 3650.");
    case err::MemberExpired:
        return QStringLiteral("The member has not exchanged within the replica set's retention period: its "
                              "partner has forgotten deletions it never received, which would come back. "
                              "Re-create it from a current member.");
    case err::OutdatedReplica:
        return QStringLiteral(
            "The database was made replicable by an earlier version of this program; make the "
            "master and its replicas again.");
    case err::LockingUnsupported:
        return QStringLiteral("The folder of the database does not support file locking, so other users "
                              "could not be kept out; the database was not opened.");
    case err::LockFileUnusable:
        return QStringLiteral("The lock file beside the database cannot be used, so the locks of other users "
                              "could not be seen or taken; the database was not opened.");
    case err::UnsafeShare:
        return QStringLiteral("The database is in a folder whose file locks do not reach other computers; it "
                              "cannot be shared safely there.");
    case err::EngineDiskFull:
        return QStringLiteral("The disk is full; the database could not be written.");
    case err::FolderReadOnly:
        return QStringLiteral("The folder of the database may not be written, so the engine cannot keep its "
                              "journal beside the file.");
    case err::CannotOpen:
        return QStringLiteral("The database file exists but could not be opened; another program may hold "
                              "it or its journal.");
    case err::NotPellwood:
        return QStringLiteral("The file is not a Pellwood database:");
    case err::Unrepairable:
        return QStringLiteral("The database file cannot be repaired:");
    default:
        return QStringLiteral("Error %1.").arg(number);
    }
}

} // namespace pell
