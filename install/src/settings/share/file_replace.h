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
// The text is written to a new hidden file beside the file (".NAME.XXXXXX",
// shortened to fit a name's length limit), synced, and renamed over the
// file; the directory is then synced. The new file takes the existing file's
// owner, group and permission bits; a file that did not exist gets 0644 less
// the umask. Access control lists and extended attributes are not carried
// over. Hard links to the old file keep the old text, as do descriptors
// already open on it. Any failure before the rename raises WRITE_FILE_ERROR
// (306), or 304 when the hidden file cannot be created, removes the hidden
// file and leaves an existing file byte for byte as it was; a failed sync of
// the directory after the rename raises 306.
//
// Where a rename cannot keep what callers had (the directory refuses new
// files, the owner or group cannot be given to a new file, or the file is a
// mount point), the existing file is rewritten in place instead: written,
// truncated to the text's length and synced, 306 on any failure, after which
// it may hold part of either text. A new file that cannot be created raises 304.
// No descriptor stays open, whatever the outcome.
void replaceFileContents(Filename const& file, std::string const& text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_REPLACE_H
