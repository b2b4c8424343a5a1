// Replacing a settings file's contents so that a failure never loses what
// was there.
#ifndef TAMO_SETTINGS_SHARE_FILE_REPLACE_H
#define TAMO_SETTINGS_SHARE_FILE_REPLACE_H

#include <string>
#include <string_view>

#include "filename.h"
#include "target_directory.h"

namespace settings_impl {

// Makes text the whole contents of the file that target found.
//
// The text is written into an unnamed file (O_TMPFILE) in the target's
// directory, which takes the existing file's owner, group and permission
// bits (masked to 0777: no set-user-ID, set-group-ID or sticky bit; a file
// that did not exist gets 0644 less the umask, and what the directory's
// default access list gives a new file) and then its access control list
// and extended attributes (system.posix_acl_access, user.*, security.*
// except security.capability, and trusted.* for root): an existing file's
// replacement has exactly the old file's access list, or none, whatever the
// directory's default list. It is synced, then linked under a hidden name
// (".NAME.XXXXXX", shortened to fit a name's length limit) and renamed over
// the file; the directory is synced last. The name is checked before the
// link, so that only a crash between the link and the rename leaves the
// hidden name behind. The name is given through the unnamed file's
// descriptor (linkat with AT_EMPTY_PATH) or, without the privilege for
// that, through /proc/self/fd when that is procfs; otherwise, and where the
// file system has no unnamed files, the hidden file is created under its
// name from the start, and a crash can leave it behind. Every step goes
// through target's directory descriptor. Hard links to the old file keep
// the old text, as do descriptors already open on it.
//
// Every failure is a FileError whose report gives the errno of the failed
// call (reason SETTINGS_PATH_SYSTEM) and what the file holds. An attribute
// the file system refuses raises WRITE_FILE_ERROR (306) with the file
// untouched; a security.* attribute the kernel will not take from this
// caller is left to the file system's default. Any failure before the
// rename raises 306, or 304 when the staging file cannot be created, and
// leaves an existing file byte for byte as it was with nothing beside it
// (SETTINGS_FILE_UNTOUCHED). A name that no longer stands for what target
// found raises 304 with reason SETTINGS_PATH_REPLACED, the file untouched.
// A failure after the rename (the close of the staging file or the sync of
// the directory) raises 306 with the new text already in place
// (SETTINGS_FILE_NEW_UNSYNCED). An existing file that cannot be opened for
// reading and writing raises 304 and is left untouched.
//
// A file that cannot be replaced keeps what callers had only by being
// rewritten in place: a mount point (recognised before anything is staged),
// a file whose directory refuses new files, or one whose owner or group
// cannot be given to a new file. Space is reserved first, so that a full
// disk is 306 with the file untouched; then one write, the truncate and the
// sync, 306 on any failure, after which the file may hold the new text
// followed by the end of the old one (SETTINGS_FILE_MAY_BE_CHANGED). A new
// file that cannot be created raises 304. No descriptor but target's stays
// open, whatever the outcome.
void replaceFileContents(TargetDirectory const& target, std::string_view text);

// The same for a writers' lock, through lockedFile (open for reading and
// writing on the file target found, which must exist when target found one;
// -1 otherwise) instead of a descriptor opened here, and with no open that
// could wait. The new file is locked as lockedFile's lock is (fcntl
// F_OFD_SETLK) before it takes the name, and its descriptor, open for
// reading and writing, is returned once it is in place; -1 when the file
// was rewritten in place through lockedFile.
IoHandle replaceFileContents(TargetDirectory const& target, int lockedFile, std::string_view text);

// Resolves the canonical name as TargetDirectory::resolve does (its parent
// must exist; links followed only where their owners may steer the caller,
// a link itself staying a link) and replaces the file's contents as above.
void replaceFileContents(Filename const& file, std::string_view text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_REPLACE_H
