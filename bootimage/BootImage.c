/* The boot image the application writes to a stick: a small UEFI
 * application that shows that the device PC booted from the stick, names
 * the firmware, waits up to ten seconds for a key and powers the machine
 * off. No firmware library: only the system table's own services. */
#include "Uefi.h"

#define WAIT_SECONDS 10
#define HUNDRED_NS_PER_SECOND 10000000ull

static EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out;

static void print(const CHAR16* text)
{
    out->OutputString(out, (CHAR16*)text);
}

/* Writes `value` in decimal into `buffer` (at least 11 characters). */
static void decimal(UINT32 value, CHAR16* buffer)
{
    CHAR16 digits[10];
    int count = 0;
    do {
        digits[count++] = (CHAR16)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    int i = 0;
    while (count > 0) {
        buffer[i++] = digits[--count];
    }
    buffer[i] = 0;
}

/* Writes `value` as "0x" and eight upper-case hexadecimal digits. */
static void hex32(UINT32 value, CHAR16* buffer)
{
    static const CHAR16 digits[] = L"0123456789ABCDEF";
    buffer[0] = L'0';
    buffer[1] = L'x';
    for (int i = 0; i < 8; ++i) {
        buffer[2 + i] = digits[(value >> (28 - 4 * i)) & 0xF];
    }
    buffer[10] = 0;
}

/* "Firmware: <vendor>, revision <major>.<minor> (0x<hex>)" */
static void printFirmware(const EFI_SYSTEM_TABLE* system)
{
    CHAR16 number[16];
    print(L"Firmware: ");
    print(system->FirmwareVendor != 0 ? system->FirmwareVendor : L"(unknown vendor)");
    print(L", revision ");
    decimal(system->FirmwareRevision >> 16, number);
    print(number);
    print(L".");
    decimal(system->FirmwareRevision & 0xFFFF, number);
    print(number);
    print(L" (");
    hex32(system->FirmwareRevision, number);
    print(number);
    print(L")\r\n");
}

/* Waits for a key or for the timeout, whichever comes first. */
static void waitForKeyOrTimeout(const EFI_SYSTEM_TABLE* system)
{
    EFI_BOOT_SERVICES* boot = system->BootServices;
    EFI_EVENT timer = 0;
    if (boot->CreateEvent(EVT_TIMER, 0, 0, 0, &timer) != EFI_SUCCESS) {
        return;
    }
    if (boot->SetTimer(timer, TimerRelative, WAIT_SECONDS * HUNDRED_NS_PER_SECOND) == EFI_SUCCESS) {
        EFI_EVENT events[2] = {system->ConIn->WaitForKey, timer};
        UINTN index = 0;
        if (boot->WaitForEvent(2, events, &index) == EFI_SUCCESS && index == 0) {
            EFI_INPUT_KEY key;
            system->ConIn->ReadKeyStroke(system->ConIn, &key);
        }
    }
    boot->CloseEvent(timer);
}

EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* system)
{
    (void)image;
    out = system->ConOut;
    out->SetAttribute(out, EFI_LIGHTGRAY | EFI_BACKGROUND_BLACK);
    out->ClearScreen(out);

    out->SetAttribute(out, EFI_WHITE | EFI_BACKGROUND_BLACK);
    print(L"SARNOVELLE\r\n\r\n");
    out->SetAttribute(out, EFI_LIGHTGREEN | EFI_BACKGROUND_BLACK);
    print(L"This boot stick works.\r\n");
    out->SetAttribute(out, EFI_LIGHTGRAY | EFI_BACKGROUND_BLACK);
    printFirmware(system);
    print(L"\r\nPress any key to power off (or wait 10 seconds).\r\n");

    system->ConIn->Reset(system->ConIn, 0);
    waitForKeyOrTimeout(system);

    print(L"Powering off.\r\n");
    system->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, 0);
    return EFI_SUCCESS; /* not reached */
}
