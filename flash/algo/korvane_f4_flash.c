// CMSIS flash algorithm for the 1 MB single-bank flash of the STM32F405/407,
// written from RM0090 ("Embedded Flash memory interface").
//
// The debugger copies this code to an arbitrary RAM address and calls one
// function at a time with LR on a breakpoint, so nothing here may depend on
// where it runs: no writable state, no tables of addresses, no library calls.
// Only the fixed addresses of the flash interface and the watchdog appear as
// literals.
//
// Test variants, from the same source:
//   KORVANE_ALGO_HANG   EraseSector never returns
//   KORVANE_ALGO_RET1   ProgramPage fails without touching the flash
//   KORVANE_ALGO_FAULT  ProgramPage executes an undefined instruction

typedef unsigned int u32;
typedef unsigned short u16;
typedef unsigned char u8;
typedef u32 __attribute__((may_alias)) u32_alias; // a word of the byte buffer

#define FLASH_BASE 0x08000000u
#define FLASH_SIZE 0x00100000u

#define FLASH_ACR (*(volatile u32*)0x40023C00u)
#define FLASH_KEYR (*(volatile u32*)0x40023C04u)
#define FLASH_SR (*(volatile u32*)0x40023C0Cu)
#define FLASH_CR (*(volatile u32*)0x40023C10u)
#define IWDG_KR (*(volatile u32*)0x40003000u)

#define KEY1 0x45670123u
#define KEY2 0xCDEF89ABu

#define ACR_PRFTEN (1u << 8)
#define ACR_ICEN (1u << 9)
#define ACR_DCEN (1u << 10)
#define ACR_ICRST (1u << 11)
#define ACR_DCRST (1u << 12)

#define SR_EOP (1u << 0)
#define SR_OPERR (1u << 1)
#define SR_WRPERR (1u << 4)
#define SR_PGAERR (1u << 5)
#define SR_PGPERR (1u << 6)
#define SR_PGSERR (1u << 7)
#define SR_BSY (1u << 16)
#define SR_ERRORS (SR_OPERR | SR_WRPERR | SR_PGAERR | SR_PGPERR | SR_PGSERR)

#define CR_PG (1u << 0)
#define CR_SER (1u << 1)
#define CR_MER (1u << 2)
#define CR_SNB_SHIFT 3
#define CR_PSIZE_X32 (2u << 8) // word accesses: 2.7 V to 3.6 V supply, no VPP
#define CR_STRT (1u << 16)
#define CR_LOCK (1u << 31)

// Bounds on BSY polling, in loop turns. A turn takes several cycles, so at
// 168 MHz the program bound is tens of ms against a 100 us worst-case word,
// and the erase bound covers the 16 s worst-case mass erase with margin.
#define PROGRAM_TURNS 0x00100000u
#define ERASE_TURNS 0x40000000u

#define IWDG_RELOAD 0xAAAAu

// 1 when BSY cleared within `turns`. The watchdog is reloaded while waiting:
// a running IWDG (always on with the hardware-watchdog option) would
// otherwise reset the part in the middle of a long erase.
static int wait_idle(u32 turns) {
    while (FLASH_SR & SR_BSY) {
        if (--turns == 0) return 0;
        IWDG_KR = IWDG_RELOAD;
    }
    return 1;
}

// Before an operation: nothing running, and no stale error flag that would
// make this one look failed (they clear by writing 1).
static int prepare(void) {
    if (!wait_idle(ERASE_TURNS)) return 0;
    FLASH_SR = SR_EOP | SR_ERRORS;
    return 1;
}

static int finish(u32 clear_bits) {
    FLASH_CR &= ~clear_bits;
    return (FLASH_SR & SR_ERRORS) ? 1 : 0;
}

int Init(unsigned long adr, unsigned long clk, unsigned long fnc) {
    (void)adr;
    (void)clk;
    (void)fnc;
    // The keys only while locked: a key written to an open interface is a
    // wrong sequence, which locks it until reset.
    if (FLASH_CR & CR_LOCK) {
        FLASH_KEYR = KEY1;
        FLASH_KEYR = KEY2;
    }
    if (FLASH_CR & CR_LOCK) return 1;
    // Caches and prefetch off and flushed, so that nothing reads back what
    // was in the array before this erase or program.
    FLASH_ACR &= ~(ACR_PRFTEN | ACR_ICEN | ACR_DCEN);
    FLASH_ACR |= ACR_ICRST | ACR_DCRST;
    FLASH_ACR &= ~(ACR_ICRST | ACR_DCRST);
    return prepare() ? 0 : 1;
}

int UnInit(unsigned long fnc) {
    (void)fnc;
    FLASH_CR |= CR_LOCK;
    return 0;
}

int EraseChip(void) {
    if (!prepare()) return 1;
    FLASH_CR = CR_MER | CR_PSIZE_X32;
    FLASH_CR |= CR_STRT;
    const int done = wait_idle(ERASE_TURNS);
    const int err = finish(CR_MER);
    return done ? err : 1;
}

// The sector map: 4 x 16 KB, 1 x 64 KB, 7 x 128 KB.
__attribute__((unused)) static u32 sector_of(u32 offset) {
    if (offset < 0x10000u) return offset >> 14;
    if (offset < 0x20000u) return 4;
    return 4 + (offset >> 17);
}

int EraseSector(unsigned long adr) {
#ifdef KORVANE_ALGO_HANG
    (void)adr;
    for (;;) {
    }
#else
    const u32 offset = (u32)adr - FLASH_BASE;
    if (offset >= FLASH_SIZE) return 1;
    if (!prepare()) return 1;
    FLASH_CR = CR_SER | (sector_of(offset) << CR_SNB_SHIFT) | CR_PSIZE_X32;
    FLASH_CR |= CR_STRT;
    const int done = wait_idle(ERASE_TURNS);
    const int err = finish(CR_SER | (0xFu << CR_SNB_SHIFT));
    return done ? err : 1;
#endif
}

// A little-endian word from the buffer; bytes past the end of the data read
// as erased, so a short last word leaves the rest of its bytes untouched.
__attribute__((unused)) static u32 word_at(const u8* p, u32 left) {
    u32 w = 0xFFFFFFFFu;
    for (u32 i = 0; i < 4 && i < left; ++i) w = (w & ~(0xFFu << (8 * i))) | ((u32)p[i] << (8 * i));
    return w;
}

int ProgramPage(unsigned long adr, unsigned long sz, unsigned char* buf) {
#if defined(KORVANE_ALGO_RET1)
    (void)adr;
    (void)sz;
    (void)buf;
    return 1;
#elif defined(KORVANE_ALGO_FAULT)
    (void)adr;
    (void)sz;
    (void)buf;
    __builtin_trap();
#else
    const u32 offset = (u32)adr - FLASH_BASE, size = (u32)sz;
    if ((offset & 3u) || offset >= FLASH_SIZE || size > FLASH_SIZE - offset) return 1;
    if (!prepare()) return 1;
    FLASH_CR = CR_PG | CR_PSIZE_X32;
    volatile u32* dst = (volatile u32*)adr;
    const int aligned = ((u32)buf & 3u) == 0;
    for (u32 done = 0; done < size; done += 4, ++dst) {
        const u32 left = size - done;
        *dst = aligned && left >= 4 ? *(const u32_alias*)(buf + done) : word_at(buf + done, left);
        if (!wait_idle(PROGRAM_TURNS)) {
            FLASH_CR &= ~CR_PG;
            return 1;
        }
        if (FLASH_SR & SR_ERRORS) break;
    }
    return finish(CR_PG);
#endif
}

// The device description the debugger reads from the file (CMSIS FlashOS
// layout: 160 bytes, then {size, offset} runs ended by all-ones).
struct FlashSectors {
    unsigned long szSector;
    unsigned long AddrSector;
};

struct FlashDevice {
    unsigned short Vers;
    char DevName[128];
    unsigned short DevType;
    unsigned long DevAdr;
    unsigned long szDev;
    unsigned long szPage;
    unsigned long Res;
    unsigned char valEmpty;
    unsigned long toProg;
    unsigned long toErase;
    struct FlashSectors sectors[4];
};

_Static_assert(sizeof(unsigned long) == 4, "FlashDevice fields are 32-bit");
_Static_assert(__builtin_offsetof(struct FlashDevice, toProg) == 152, "FlashDevice layout");
_Static_assert(__builtin_offsetof(struct FlashDevice, sectors) == 160, "FlashDevice layout");

__attribute__((section("DevDscr"), used)) const struct FlashDevice FlashDevice = {
    0x0101,                      // FlashOS description version
    "Korvane STM32F4 1MB Flash", // name
    1,                           // on-chip flash
    FLASH_BASE,
    FLASH_SIZE,
    1024,       // programming page size
    0,          // reserved
    0xFF,       // erased value
    500,        // page program time-out, ms: roomy, the demo board may run behind a busy host
    6000,       // sector erase time-out, ms
    {
        {0x04000, 0x00000},   // 4 x 16 KB
        {0x10000, 0x10000},   // 1 x 64 KB
        {0x20000, 0x20000},   // 7 x 128 KB
        {0xFFFFFFFFu, 0xFFFFFFFFu},
    },
};
