// Vector table and reset code of the C++ firmware. Only the core's own
// exceptions are listed: the program enables no interrupt. Faults are naked
// loops so that, halted inside one, SP still points at the stacked frame.
#include <stddef.h>
#include <stdint.h>

extern "C" {
extern uint32_t _sidata[], _sdata[], _edata[], _sbss[], _ebss[], _estack[];
int main();
void Reset_Handler();
__attribute__((naked)) void Fault_Handler() { __asm volatile("b ."); }

// Structure copies may become calls to these; nothing of a C library is linked.
void* memcpy(void* dst, const void* src, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dst);
    const uint8_t* s = static_cast<const uint8_t*>(src);
    while (n--) *d++ = *s++;
    return dst;
}
void* memset(void* dst, int value, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dst);
    while (n--) *d++ = static_cast<uint8_t>(value);
    return dst;
}
}

typedef void (*vector_fn)();

// Address constants only: the table is laid out by the linker, never by code.
__attribute__((section(".isr_vector"), used)) const vector_fn vector_table[16] = {
    reinterpret_cast<vector_fn>(_estack), Reset_Handler, Fault_Handler, Fault_Handler,
    Fault_Handler, Fault_Handler, Fault_Handler, nullptr, nullptr, nullptr, nullptr,
    Fault_Handler, Fault_Handler, nullptr, Fault_Handler, Fault_Handler,
};

void Reset_Handler() {
    // FPU access first: the hard-float ABI uses it anywhere after this.
    *reinterpret_cast<volatile uint32_t*>(0xE000ED88u) |= 0xFu << 20;
    __asm volatile("dsb\n\tisb" ::: "memory");
    for (uint32_t *src = _sidata, *dst = _sdata; dst < _edata;) *dst++ = *src++;
    for (uint32_t* p = _sbss; p < _ebss; ++p) *p = 0;
    main();
    for (;;) {
    }
}
