// Replacing a settings file's contents so that a failure never loses what
// was there.
#ifndef TAMO_SETTINGS_SHARE_FILE_REPLACE_H
#define TAMO_SETTINGS_SHARE_FILE_REPLACE_H

#include <string>

#include "filename.h"

namespace settings_impl {

// Makes text the whole contents of the file named by a canonical name whose
// parent directory exists. An existing file is replaced whole or left as it
// was, keeping its owner, group and permission bits; where the name is a
// symbolic link, the file it points to is replaced and the link stays. A new
// file gets 0644 less the umask. Raises settings::Exception:
// OPEN_FILE_ERROR (304) when the file cannot be opened for reading and
// writing or created, WRITE_FILE_ERROR (306) when writing or syncing fails.
void replaceFileContents(Filename const& file, std::string const& text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_REPLACE_H
