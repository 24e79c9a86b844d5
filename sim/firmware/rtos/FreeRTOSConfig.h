// FreeRTOS configuration of the RTOS oracle firmware. Its control flow must
// not depend on time: two simulators with different clocks have to hit the
// same breakpoints in the same order. So the scheduler is cooperative, the
// tasks block only on the queue (portMAX_DELAY), and nothing waits on ticks.
#pragma once

#include "regs.h"

#define configUSE_PREEMPTION                    0
#define configUSE_TIME_SLICING                  0
#define configUSE_PORT_OPTIMISED_TASK_SELECTION 0
#define configCPU_CLOCK_HZ                      CORE_CLOCK_HZ
#define configTICK_RATE_HZ                      TICK_HZ
#define configTICK_TYPE_WIDTH_IN_BITS           TICK_TYPE_WIDTH_32_BITS
#define configMAX_PRIORITIES                    4
#define configMINIMAL_STACK_SIZE                128   // words
#define configMAX_TASK_NAME_LEN                 12
#define configUSE_IDLE_HOOK                     0
#define configUSE_TICK_HOOK                     0
#define configUSE_MALLOC_FAILED_HOOK            1
#define configCHECK_FOR_STACK_OVERFLOW          2
#define configUSE_TIMERS                        0
#define configUSE_MUTEXES                       0
#define configUSE_COUNTING_SEMAPHORES           0
#define configUSE_TRACE_FACILITY                0
#define configUSE_CO_ROUTINES                   0
#define configSUPPORT_STATIC_ALLOCATION         0
#define configSUPPORT_DYNAMIC_ALLOCATION        1
#define configTOTAL_HEAP_SIZE                   (16u * 1024u)   // heap_4

// portMAX_DELAY blocks for ever only with vTaskSuspend in the build.
#define INCLUDE_vTaskSuspend                    1
#define INCLUDE_vTaskDelay                      0
#define INCLUDE_xTaskDelayUntil                 0
#define INCLUDE_vTaskDelete                     0

// STM32F4: 4 priority bits. The kernel's interrupts at the lowest priority;
// nothing above priority 5 may call the kernel.
#define configPRIO_BITS                         4
#define configKERNEL_INTERRUPT_PRIORITY         (15u << (8 - configPRIO_BITS))
#define configMAX_SYSCALL_INTERRUPT_PRIORITY    (5u << (8 - configPRIO_BITS))

// The port's handlers under the names the vector table uses.
#define vPortSVCHandler     SVC_Handler
#define xPortPendSVHandler  PendSV_Handler
#define xPortSysTickHandler SysTick_Handler

// A failed assertion masks everything and stops where a debugger sees why.
void rtos_assert_failed(const char* file, int line);
#define configASSERT(x) \
    do { \
        if (!(x)) rtos_assert_failed(__FILE__, __LINE__); \
    } while (0)
