// RTOS oracle firmware: the FreeRTOS kernel with two tasks and a queue. The
// producer computes values through small helpers and sends them; the
// consumer receives them and accumulates into globals a debugger can watch.
// Scheduling is cooperative and every block is on the queue without a time
// limit, so the order of everything below is the same on any clock.
#include <stdint.h>

#include "FreeRTOS.h"
#include "queue.h"
#include "task.h"

#define RTOS_QUEUE_LENGTH 4u
#define RTOS_YIELD_EVERY  3u
#define RTOS_TASK_STACK   256u   // words

volatile uint32_t g_rtos_sent;
volatile uint32_t g_rtos_received;
volatile uint32_t g_rtos_sum;
volatile uint32_t g_rtos_last;
volatile float g_rtos_mean;       // sum / received, from the consumer's float total
volatile float g_rtos_progress;   // sent / 2, from the producer's float count
volatile const char* g_rtos_assert_file;
volatile int g_rtos_assert_line;

static QueueHandle_t s_queue;

// Kept out of line (and unchanged by IPA) so that their frames show in a
// call stack at -O2 as at -O0, and a breakpoint on one is one address.
#define RTOS_FRAME __attribute__((noipa))

RTOS_FRAME void rtos_assert_failed(const char* file, int line) {
    __asm volatile("cpsid i" ::: "memory");
    g_rtos_assert_file = file;
    g_rtos_assert_line = line;
    for (;;) {
    }
}

void vApplicationMallocFailedHook(void) {
    rtos_assert_failed(__FILE__, __LINE__);
}

void vApplicationStackOverflowHook(TaskHandle_t task, char* name) {
    (void)task;
    rtos_assert_failed(name, __LINE__);   // the task's name where a file name would be
}

// 1 + 4 + ... + n*n.
RTOS_FRAME static uint32_t sum_of_squares(uint32_t n) {
    uint32_t sum = 0;
    for (uint32_t i = 1; i <= n; ++i) sum += i * i;
    return sum;
}

// Message number seq carries this value.
RTOS_FRAME static uint32_t make_value(uint32_t seq) {
    uint32_t base = sum_of_squares(seq % 8u + 1u);
    return base + seq;
}

RTOS_FRAME static void record_value(uint32_t value, float total) {
    uint32_t count = g_rtos_received + 1u;
    g_rtos_sum = g_rtos_sum + value;
    g_rtos_last = value;
    g_rtos_received = count;
    g_rtos_mean = total / (float)count;
}

// Both tasks keep a float across the calls that block: at -O2 it lives in
// S16-S31, which only the context switch saves, so a lost FP context shows
// in g_rtos_progress and g_rtos_mean.
static void producer_task(void* arg) {
    (void)arg;
    float progress = 0.0f;
    for (uint32_t seq = 0;; ++seq) {
        uint32_t value = make_value(seq);
        // Blocks while the queue is full: the consumer runs then.
        BaseType_t ok = xQueueSend(s_queue, &value, portMAX_DELAY);
        configASSERT(ok == pdPASS);
        g_rtos_sent = g_rtos_sent + 1u;
        progress += 0.5f;
        g_rtos_progress = progress;
        if (seq % RTOS_YIELD_EVERY == RTOS_YIELD_EVERY - 1u) taskYIELD();
    }
}

static void consumer_task(void* arg) {
    (void)arg;
    float total = 0.0f;
    for (;;) {
        uint32_t value = 0;
        // Blocks while the queue is empty: the producer runs then.
        if (xQueueReceive(s_queue, &value, portMAX_DELAY) != pdPASS) rtos_assert_failed(__FILE__, __LINE__);
        total += (float)value;
        record_value(value, total);
    }
}

int main(void) {
    s_queue = xQueueCreate(RTOS_QUEUE_LENGTH, sizeof(uint32_t));
    configASSERT(s_queue != NULL);
    BaseType_t made = xTaskCreate(producer_task, "producer", RTOS_TASK_STACK, NULL, tskIDLE_PRIORITY + 1, NULL);
    configASSERT(made == pdPASS);
    made = xTaskCreate(consumer_task, "consumer", RTOS_TASK_STACK, NULL, tskIDLE_PRIORITY + 1, NULL);
    configASSERT(made == pdPASS);
    vTaskStartScheduler();
    // Only when the idle task could not be created.
    rtos_assert_failed(__FILE__, __LINE__);
    return 0;
}
