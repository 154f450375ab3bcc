#pragma once

#include <QString>

#include <exception>
#include <string>

namespace pell {

// Error numbers the windows test for. Engine numbers (3000 and up) come from the database engine, the
// small ones are the runtime's file errors.
namespace err {
inline constexpr int Internal = 51; // a failure of the program itself, with the text it gave
inline constexpr int FileNotFound = 53;
inline constexpr int DiskFull = 61;
inline constexpr int InputPastEnd = 62;
inline constexpr int PermissionDenied = 70;
inline constexpr int PathFileAccess = 75;
inline constexpr int PathNotFound = 76;
inline constexpr int ReservedDuplicate = 3000;
inline constexpr int NoCurrentRecord = 3021;
inline constexpr int UpdateWithoutEdit = 3020;
inline constexpr int DuplicateKey = 3022;
inline constexpr int FileNotFoundDb = 3024;
inline constexpr int ReadOnly = 3027;
inline constexpr int DiskIo = 3043;
inline constexpr int InvalidPath = 3044;
inline constexpr int FileInUse = 3045;
inline constexpr int Corrupt = 3049;
inline constexpr int NoPermission = 3051;
inline constexpr int SyntaxError = 3075;
inline constexpr int CriteriaSyntax = 3077;
inline constexpr int TableNotFound = 3078;
inline constexpr int RecordDeleted = 3167;
inline constexpr int ChangedByOther = 3197;
inline constexpr int RelatedRecords = 3200;
inline constexpr int RelatedRecordRequired = 3201;
inline constexpr int DatabaseExists = 3204;
inline constexpr int Locked = 3260;
inline constexpr int ItemNotFound = 3265;
inline constexpr int PropertyNotFound = 3270;
inline constexpr int NullNotAllowed = 3314;
inline constexpr int NotADatabase = 3343;
inline constexpr int OpenedExclusively = 3356;
inline constexpr int AlreadyExists = 3367;
inline constexpr int NotReplicable = 3250;
inline constexpr int DifferentReplicaSet = 3545;
inline constexpr int InvalidExchangeMode = 3546;
inline constexpr int SyncWithSelf = 3547;
inline constexpr int NotAReplica = 3605;
inline constexpr int InvalidOperation = 3219;
inline constexpr int OutdatedReplica = 3613;
inline constexpr int ConflictNotFound = 3614;
inline constexpr int ConflictChangedSince = 3615;
inline constexpr int ConflictWouldBreak = 3616;
inline constexpr int ConflictClosed = 3617;
inline constexpr int RetentionOnMasterOnly = 3620;
inline constexpr int RetentionOutOfRange = 3621;
inline constexpr int MemberExpired = 3622;
inline constexpr int ClockAhead = 3623;
// Exchanges with members that share no file: bundles and SSH.
inline constexpr int BundleDamaged = 3630;
inline constexpr int BundleForeign = 3631;
inline constexpr int BundleTooNew = 3632;
inline constexpr int RemoteUnreachable = 3633;
inline constexpr int RemoteLoginRefused = 3634;
inline constexpr int RemoteProgram = 3635;
inline constexpr int ConnectionCut = 3636;
inline constexpr int InvalidRemote = 3637;
// Our own numbers, for what the old engine never had to tell: shared folders and their locks, files that
// are no Pellwood database, damage beyond repair.
inline constexpr int LockingUnsupported = 3901;
inline constexpr int LockFileUnusable = 3902;
inline constexpr int UnsafeShare = 3903;
inline constexpr int EngineDiskFull = 3904;
inline constexpr int FolderReadOnly = 3905;
inline constexpr int CannotOpen = 3906;
inline constexpr int NotPellwood = 3907;
inline constexpr int Unrepairable = 3908;
} // namespace err

// The one error type of the program: a number the windows test and a text written for the administrator.
class Error : public std::exception {
public:
    Error(int number, QString text);
    // The standard text of the number, optionally followed by a detail (a file name, a table name).
    static Error make(int number, const QString& detail = {});

    int number() const { return m_number; }
    const QString& text() const { return m_text; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    int m_number;
    QString m_text;
    std::string m_what;
};

// The standard description text of an error number, as the windows show it.
QString standardText(int number);

} // namespace pell
