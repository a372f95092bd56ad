#pragma once

#include <string>
#include <vector>

namespace sarnovelle::standin {

// The folders an overlay mount is made of, from its super options as
// mountinfo shows them (escapes kept): every lower layer ("lowerdir" split
// at its colons, "lowerdir+", "datadir+"), then "upperdir" and "workdir".
// Escapes are undone, paths made plain ("/a//b/" is "/a/b"); relative
// paths, which cannot be placed, are left out.
std::vector<std::string> overlayFolders(const std::string& superOptions);

} // namespace sarnovelle::standin
