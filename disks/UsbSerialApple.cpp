#include "disks/UsbDisks.h"

#include "core/Text.h"

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <IOKit/IOKitLib.h>

#include <vector>

namespace sarnovelle {

namespace {

// Releases a Core Foundation object on every path.
template <typename T>
class CfRef {
public:
    explicit CfRef(T ref) : ref_(ref) {}
    ~CfRef()
    {
        if (ref_ != nullptr) {
            CFRelease(ref_);
        }
    }
    CfRef(const CfRef&) = delete;
    CfRef& operator=(const CfRef&) = delete;
    T get() const { return ref_; }

private:
    T ref_;
};

// Releases an I/O registry object on every path.
class IoObject {
public:
    explicit IoObject(io_object_t object) : object_(object) {}
    ~IoObject()
    {
        if (object_ != IO_OBJECT_NULL) {
            IOObjectRelease(object_);
        }
    }
    IoObject(const IoObject&) = delete;
    IoObject& operator=(const IoObject&) = delete;
    io_object_t get() const { return object_; }

private:
    io_object_t object_;
};

std::string utf8(CFStringRef text)
{
    const CFIndex length = CFStringGetLength(text);
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<std::size_t>(capacity));
    if (!CFStringGetCString(text, buffer.data(), capacity, kCFStringEncodingUTF8)) {
        return {};
    }
    return std::string(buffer.data());
}

} // namespace

// The first "USB Serial Number" found from the disk's media object up
// through its ancestors in the I/O registry.
std::string usbSerial(const DiskEnv&, const std::string& identifier)
{
    const CfRef<DASessionRef> session(DASessionCreate(kCFAllocatorDefault));
    if (session.get() == nullptr) {
        return {};
    }
    const CfRef<DADiskRef> disk(DADiskCreateFromBSDName(kCFAllocatorDefault, session.get(), identifier.c_str()));
    if (disk.get() == nullptr) {
        return {};
    }
    const IoObject media(DADiskCopyIOMedia(disk.get()));
    if (media.get() == IO_OBJECT_NULL) {
        return {};
    }
    const CfRef<CFTypeRef> value(IORegistryEntrySearchCFProperty(
        media.get(), kIOServicePlane, CFSTR("USB Serial Number"), kCFAllocatorDefault,
        kIORegistryIterateRecursively | kIORegistryIterateParents));
    if (value.get() == nullptr || CFGetTypeID(value.get()) != CFStringGetTypeID()) {
        return {};
    }
    const std::string serial = utf8(static_cast<CFStringRef>(value.get()));
    return std::string(trimWhitespace(serial));
}

} // namespace sarnovelle
