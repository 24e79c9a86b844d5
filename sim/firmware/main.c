// Demo firmware of the simulated STM32F405-like board: a 1 kHz tick, a
// blinking LED on PD12, globals of many types for the watch window, a
// waveform for plotting and faults the user can trigger.
#include <stdint.h>

#include "demo.h"
#include "regs.h"

volatile uint32_t g_tick_count;
volatile uint32_t g_fault_trigger;
volatile uint32_t g_bkpt_trigger;
volatile float g_wave;

int8_t g_i8 = -5;
uint8_t g_u8 = 200;
int16_t g_i16 = -1234;
uint16_t g_u16 = 54321;
int32_t g_i32 = -123456;
uint32_t g_u32 = 0xDEADBEEFu;
int64_t g_i64 = -1234567890123LL;
uint64_t g_u64 = 0x0123456789ABCDEFull;
float g_f32 = 3.14159f;
double g_f64 = 2.718281828459045;

struct demo_point {
    int16_t x;
    int16_t y;
};

struct demo_record {
    uint32_t id;
    struct demo_point pos;
    uint8_t samples[8];
    float gain;
};

struct demo_record g_record = {42u, {-3, 7}, {1, 2, 3, 4, 5, 6, 7, 8}, 1.5f};

enum demo_mode { DEMO_MODE_IDLE = 0, DEMO_MODE_RUN = 1, DEMO_MODE_BLINK = 2, DEMO_MODE_FAULT = 7 };
enum demo_mode g_mode = DEMO_MODE_IDLE;

struct demo_flags {
    unsigned ready : 1;
    unsigned level : 3;
    unsigned count : 12;
    signed delta : 5;
};
struct demo_flags g_flags = {1u, 5u, 100u, -3};

int32_t* g_ptr = &g_i32;

uint32_t g_fib_result;
uint32_t g_fact_result;
uint32_t g_loop_count;
uint32_t g_led_on;

void SysTick_Handler(void) {
    g_tick_count++;
}

static void led_init(void) {
    RCC_AHB1ENR |= RCC_AHB1ENR_GPIODEN;
    (void)RCC_AHB1ENR;   // RM0090: allow a cycle before touching the port
    GPIOD_MODER = (GPIOD_MODER & ~(3u << 24)) | (1u << 24);   // PD12 general output
}

static void led_toggle(void) {
    if (GPIOD_ODR & (1u << 12)) {
        GPIOD_BSRR = 1u << (12 + 16);
        g_led_on = 0;
    } else {
        GPIOD_BSRR = 1u << 12;
        g_led_on = 1;
    }
}

static void tick_init(void) {
    SYST_RVR = CORE_CLOCK_HZ / TICK_HZ - 1u;
    SYST_CVR = 0;
    SYST_CSR = SYST_CSR_CLKSOURCE | SYST_CSR_TICKINT | SYST_CSR_ENABLE;
}

static void update_watch_values(uint32_t tick) {
    g_record.pos.x = (int16_t)(tick & 0xFFu);
    g_record.samples[tick & 7u] = (uint8_t)tick;
    g_flags.count = tick & 0xFFFu;
    g_i64 += 1;
    *g_ptr = (int32_t)(tick / 10u);
}

int main(void) {
    led_init();
    tick_init();
    g_mode = DEMO_MODE_RUN;

    uint32_t last_toggle = 0;
    for (;;) {
        uint32_t tick = g_tick_count;
        g_wave = wave_sample(tick);
        g_fib_result = fibonacci(tick % 16u);
        g_fact_result = factorial(tick % 12u);
        update_watch_values(tick);
        if (tick - last_toggle >= 500u) {
            last_toggle = tick;
            led_toggle();
            g_mode = g_led_on ? DEMO_MODE_BLINK : DEMO_MODE_RUN;
        }
        uint32_t fault = g_fault_trigger;
        if (fault != 0) {
            g_fault_trigger = 0;
            g_mode = DEMO_MODE_FAULT;
            fault_run(fault);
        }
        if (g_bkpt_trigger == 1u) {
            g_bkpt_trigger = 0;
            fault_bkpt();
        }
        g_loop_count++;
    }
}
