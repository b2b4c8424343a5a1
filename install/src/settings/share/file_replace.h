// Replacing a settings file's contents so that a failure never loses what
// was there.
#ifndef TAMO_SETTINGS_SHARE_FILE_REPLACE_H
#define TAMO_SETTINGS_SHARE_FILE_REPLACE_H

#include <string>

#include "filename.h"

namespace settings_impl {

// Makes text the whole contents of the file named by a canonical name whose
// parent directory exists.
//
// Where the name is a symbolic link, the file it points to is replaced and
// the link stays a link. A dangling link, a link loop, or a name that is not
// a regular file raises OPEN_FILE_ERROR (304) and creates nothing; so does an
// existing file that cannot be opened for both reading and writing, which is
// left untouched.
//
// The text is written into an unnamed file (O_TMPFILE) in the file's
// directory, which takes the existing file's owner, group and permission
// bits (a file that did not exist gets 0644 less the umask), is synced, then
// linked under a hidden name (".NAME.XXXXXX", shortened to fit a name's
// length limit) and renamed over the file; the directory is synced last.
// Where the file system has no unnamed files, the hidden file is created
// under its name from the start, and a crash can leave it behind. Access control lists and extended
// attributes are not carried over. Hard links to the old file keep the old
// text, as do descriptors already open on it.
//
// Any failure before the rename raises WRITE_FILE_ERROR (306), or 304 when
// the staging file cannot be created, and leaves an existing file byte for
// byte as it was with nothing beside it. A failure after the rename (the
// close of the staging file or the sync of the directory) raises 306 with
// the new text already in place.
//
// A file that cannot be replaced keeps what callers had only by being
// rewritten in place: a mount point (recognised before anything is staged),
// a file whose directory refuses new files, or one whose owner or group
// cannot be given to a new file. Space is reserved first, so that a full
// disk is 306 with the file untouched; then one write, the truncate and the
// sync, 306 on any failure, after which the file may hold the new text
// followed by the end of the old one. A new file that cannot be created
// raises 304. No descriptor stays open, whatever the outcome.
void replaceFileContents(Filename const& file, std::string const& text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_REPLACE_H
