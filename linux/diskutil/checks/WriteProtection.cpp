#include "linux/diskutil/checks/WriteProtection.h"

#include "core/MakerError.h"

namespace sarnovelle::standin {

bool isWriteProtected(const BlockTree& tree, const std::string& name)
{
    const auto readOnly = tree.attribute(name, "ro");
    return readOnly && *readOnly != "0";
}

void refuseWriteProtected(const Context& context, const std::string& target, const std::string& verb)
{
    const BlockTree tree(context.roots);
    const std::string disk = tree.wholeDiskOf(target);
    for (const std::string& name : {disk, target}) {
        if (isWriteProtected(tree, name)) {
            throw MakerError(verb + " refused: " + (name == target ? target : target + " lies on " + disk + ", which")
                             + " is write-protected (its lock switch may be on); nothing was changed.");
        }
    }
}

} // namespace sarnovelle::standin
