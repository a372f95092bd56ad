/* The few UEFI types and tables the boot image uses, laid out as UEFI 2.x
 * defines them. Members the image never calls are kept
 * as opaque pointers so that the later ones sit at their proper offsets. */
#ifndef SARNOVELLE_UEFI_H
#define SARNOVELLE_UEFI_H

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef unsigned long long UINTN;
typedef UINT8 BOOLEAN;
typedef UINT16 CHAR16; /* built with -fshort-wchar, so L"" literals fit */
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID* EFI_HANDLE;
typedef VOID* EFI_EVENT;
typedef UINTN EFI_TPL;

#define EFIAPI __attribute__((ms_abi))
#define EFI_SUCCESS 0

typedef struct {
    UINT64 Signature;
    UINT32 Revision;
    UINT32 HeaderSize;
    UINT32 CRC32;
    UINT32 Reserved;
} EFI_TABLE_HEADER;

/* Simple Text Input Protocol */
typedef struct {
    UINT16 ScanCode;
    CHAR16 UnicodeChar;
} EFI_INPUT_KEY;

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_INPUT_RESET)(struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This,
                                            BOOLEAN ExtendedVerification);
typedef EFI_STATUS(EFIAPI* EFI_INPUT_READ_KEY)(struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This,
                                               EFI_INPUT_KEY* Key);

typedef struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
    EFI_INPUT_RESET Reset;
    EFI_INPUT_READ_KEY ReadKeyStroke;
    EFI_EVENT WaitForKey;
} EFI_SIMPLE_TEXT_INPUT_PROTOCOL;

/* Simple Text Output Protocol */
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_TEXT_RESET)(struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This,
                                           BOOLEAN ExtendedVerification);
typedef EFI_STATUS(EFIAPI* EFI_TEXT_STRING)(struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, CHAR16* String);
typedef EFI_STATUS(EFIAPI* EFI_TEXT_SET_ATTRIBUTE)(struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This,
                                                   UINTN Attribute);
typedef EFI_STATUS(EFIAPI* EFI_TEXT_CLEAR_SCREEN)(struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This);

typedef struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
    EFI_TEXT_RESET Reset;
    EFI_TEXT_STRING OutputString;
    VOID* TestString;
    VOID* QueryMode;
    VOID* SetMode;
    EFI_TEXT_SET_ATTRIBUTE SetAttribute;
    EFI_TEXT_CLEAR_SCREEN ClearScreen;
    VOID* SetCursorPosition;
    VOID* EnableCursor;
    VOID* Mode;
} EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

#define EFI_LIGHTGRAY 0x07
#define EFI_WHITE 0x0F
#define EFI_LIGHTGREEN 0x0A
#define EFI_BACKGROUND_BLACK 0x00

/* Boot Services: events and timers */
#define EVT_TIMER 0x80000000u
#define TPL_APPLICATION 4

typedef enum { TimerCancel, TimerPeriodic, TimerRelative } EFI_TIMER_DELAY;

typedef VOID(EFIAPI* EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID* Context);
typedef EFI_STATUS(EFIAPI* EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                             VOID* NotifyContext, EFI_EVENT* Event);
typedef EFI_STATUS(EFIAPI* EFI_SET_TIMER)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI* EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT* Event, UINTN* Index);
typedef EFI_STATUS(EFIAPI* EFI_CLOSE_EVENT)(EFI_EVENT Event);

typedef struct {
    EFI_TABLE_HEADER Hdr;
    VOID* RaiseTPL;
    VOID* RestoreTPL;
    VOID* AllocatePages;
    VOID* FreePages;
    VOID* GetMemoryMap;
    VOID* AllocatePool;
    VOID* FreePool;
    EFI_CREATE_EVENT CreateEvent;
    EFI_SET_TIMER SetTimer;
    EFI_WAIT_FOR_EVENT WaitForEvent;
    VOID* SignalEvent;
    EFI_CLOSE_EVENT CloseEvent;
    /* further services are not used */
} EFI_BOOT_SERVICES;

/* Runtime Services: reset */
typedef enum { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific } EFI_RESET_TYPE;

typedef VOID(EFIAPI* EFI_RESET_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                       VOID* ResetData);

typedef struct {
    EFI_TABLE_HEADER Hdr;
    VOID* GetTime;
    VOID* SetTime;
    VOID* GetWakeupTime;
    VOID* SetWakeupTime;
    VOID* SetVirtualAddressMap;
    VOID* ConvertPointer;
    VOID* GetVariable;
    VOID* GetNextVariableName;
    VOID* SetVariable;
    VOID* GetNextHighMonotonicCount;
    EFI_RESET_SYSTEM ResetSystem;
    /* further services are not used */
} EFI_RUNTIME_SERVICES;

typedef struct {
    EFI_TABLE_HEADER Hdr;
    CHAR16* FirmwareVendor;
    UINT32 FirmwareRevision;
    EFI_HANDLE ConsoleInHandle;
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* ConIn;
    EFI_HANDLE ConsoleOutHandle;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* ConOut;
    EFI_HANDLE StandardErrorHandle;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* StdErr;
    EFI_RUNTIME_SERVICES* RuntimeServices;
    EFI_BOOT_SERVICES* BootServices;
    UINTN NumberOfTableEntries;
    VOID* ConfigurationTable;
} EFI_SYSTEM_TABLE;

#endif
