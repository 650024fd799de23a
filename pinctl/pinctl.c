/*
 * pinctl: set the pull-up / pull-down configuration of the GPIO pins by
 * writing the GPIO controller's pull registers through /dev/mem, and print
 * the global number of a pin.
 *
 *   pinctl PB3              prints 35 (port B is index 1: 1 * 32 + 3)
 *   pinctl PA0 no pu        clears the pull field of PA0, then sets pull-up
 *   pinctl PC5 PD1 pd       prints 69 for PC5, sets pull-down on PD1
 *
 * A pin argument is "P", a port letter A..J and a decimal number; every other
 * argument is a command for the most recent pin. A pin that receives no
 * command has its global number printed. Bad or misplaced words are reported
 * on standard error and skipped; the exit status stays 0.
 *
 * When FIELDHUB_ROOT names a directory the program runs in a simulation root
 * and opens <root>/dev/mem instead, a sparse regular file that stands in for
 * physical memory (file offset = physical address).
 */

/* The register window lies above 2 GiB; a 32-bit off_t cannot address it. */
#define _FILE_OFFSET_BITS 64
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <limits.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

/* One 4 KiB page from this physical address holds the register blocks of
 * all ten ports. */
#define GPIO_WINDOW_BASE 0xB0004000u
#define GPIO_WINDOW_SIZE 0x1000u

enum {
    PortCount = 10,             /* ports A..J */
    PortBlockSize = 0x40,       /* register block of port k at window + 0x40 * k */
    PullRegisterOffset = 0x30,  /* 32-bit pull register inside a port's block */
    PinsWithPullField = 16,     /* pins 0..15 own bits 2p and 2p+1 */
    GlobalPinsPerPort = 32,     /* global pin number = port * 32 + pin */
};

/* The status scripts see for a failure to reach the registers: -1, i.e. 255. */
enum { ExitNoRegisters = -1 };

typedef struct Pin {
    int port;   /* 0 for A .. 9 for J */
    int number; /* the decimal number after the letter; may exceed 15 */
} Pin;

typedef struct PullCommand {
    const char *name;
    uint32_t field;  /* bits within the pin's two-bit pull field */
    bool clears;     /* clear the whole field instead of setting 'field' */
} PullCommand;

/* Pull field values: 0 none, 1 pull-up, 2 pull-down, 3 both. Commands only
 * ever set bits, so "pu" after "pd" leaves both set; "no" is the only way to
 * clear. */
static const PullCommand pullCommands[] = {
    {"no", 0x3u, true},
    {"pu", 0x1u, false},
    {"pd", 0x2u, false},
    {"pupd", 0x3u, false},
};

static bool isDecimalDigit(char character)
{
    return character >= '0' && character <= '9';
}

/*
 * "PB3" -> port 1, pin 3; "PA12x" -> port 0, pin 12; "PK1", "PA", "pa1" are
 * not pins. The number is the run of digits after the letter, saturated at
 * INT_MAX so that an absurdly long number cannot overflow.
 */
static bool parsePin(const char *text, Pin *pin)
{
    if (text[0] != 'P' || text[1] < 'A' || text[1] >= 'A' + PortCount || !isDecimalDigit(text[2]))
        return false;

    int number = 0;
    for (const char *digit = text + 2; isDecimalDigit(*digit); ++digit) {
        int value = *digit - '0';
        if (number > (INT_MAX - value) / 10) {
            number = INT_MAX;
            break;
        }
        number = number * 10 + value;
    }
    pin->port = text[1] - 'A';
    pin->number = number;
    return true;
}

static void printGlobalNumber(Pin pin)
{
    /* Wide arithmetic: a saturated pin number plus the port offset exceeds int. */
    printf("%lld\n", (long long)pin.port * GlobalPinsPerPort + pin.number);
}

static const PullCommand *findPullCommand(const char *name)
{
    for (size_t index = 0; index < sizeof pullCommands / sizeof pullCommands[0]; ++index) {
        if (strcmp(pullCommands[index].name, name) == 0)
            return &pullCommands[index];
    }
    return NULL;
}

/* Read-modify-write of the pin's port pull register. A pin of 16 or more has
 * no field in the register, so the register is left alone. */
static void applyPullCommand(volatile uint8_t *window, Pin pin, const PullCommand *command)
{
    if (pin.number >= PinsWithPullField)
        return;

    volatile uint32_t *pullRegister =
        (volatile uint32_t *)(window + (size_t)pin.port * PortBlockSize + PullRegisterOffset);
    unsigned shift = 2u * (unsigned)pin.number;
    uint32_t value = *pullRegister;
    if (command->clears)
        value &= ~(command->field << shift);
    else
        value |= command->field << shift;
    *pullRegister = value;
}

/* /dev/mem, or <FIELDHUB_ROOT>/dev/mem in a simulation root. A FIELDHUB_ROOT
 * that is set but names no directory is refused rather than ignored: falling
 * back to the real /dev/mem on a host would write to physical memory. */
static char *memoryDevicePath(void)
{
    static const char devicePath[] = "/dev/mem";
    const char *root = getenv("FIELDHUB_ROOT");
    if (root == NULL)
        return strdup(devicePath);

    struct stat rootInfo;
    if (stat(root, &rootInfo) != 0 || !S_ISDIR(rootInfo.st_mode)) {
        fprintf(stderr, "pinctl: FIELDHUB_ROOT '%s' is not a directory\n", root);
        exit(ExitNoRegisters);
    }
    size_t length = strlen(root) + sizeof devicePath;
    char *path = malloc(length);
    if (path != NULL)
        snprintf(path, length, "%s%s", root, devicePath);
    return path;
}

static volatile uint8_t *mapGpioWindow(void)
{
    char *path = memoryDevicePath();
    if (path == NULL) {
        perror("/dev/mem");
        exit(ExitNoRegisters);
    }
    int fd = open(path, O_RDWR | O_SYNC);
    if (fd < 0) {
        perror("/dev/mem");
        exit(ExitNoRegisters);
    }

    /* In a simulation root a regular file stands in for physical memory.
     * Mapping past its end succeeds, but the first register access would
     * then die with SIGBUS, so a file too short for the window is refused. */
    struct stat deviceInfo;
    if (fstat(fd, &deviceInfo) == 0 && S_ISREG(deviceInfo.st_mode) &&
        deviceInfo.st_size < (off_t)GPIO_WINDOW_BASE + (off_t)GPIO_WINDOW_SIZE) {
        fprintf(stderr, "mmap /dev/mem: %s is shorter than 0x%llx bytes\n", path,
                (unsigned long long)GPIO_WINDOW_BASE + GPIO_WINDOW_SIZE);
        exit(ExitNoRegisters);
    }
    free(path);

    void *window = mmap(NULL, GPIO_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                        (off_t)GPIO_WINDOW_BASE);
    if (window == MAP_FAILED) {
        perror("mmap /dev/mem");
        exit(ExitNoRegisters);
    }
    /* The mapping outlives the descriptor; it stays until the program exits. */
    close(fd);
    return window;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "Usage: %s <PA0..PJ15> <cmd1> [<cmd2> ...]  [<port> <cmd> ...]\n",
                argc > 0 && argv[0] != NULL ? argv[0] : "pinctl");
        return -1;
    }

    volatile uint8_t *window = mapGpioWindow();

    Pin current = {0, 0};
    bool haveCurrent = false;
    bool currentHasCommand = false;
    for (int index = 1; index < argc; ++index) {
        const char *argument = argv[index];
        Pin pin;
        if (parsePin(argument, &pin)) {
            if (haveCurrent && !currentHasCommand)
                printGlobalNumber(current);
            current = pin;
            haveCurrent = true;
            currentHasCommand = false;
        } else if (!haveCurrent) {
            fprintf(stderr, "Not port for '%s'\n", argument);
        } else {
            const PullCommand *command = findPullCommand(argument);
            if (command != NULL)
                applyPullCommand(window, current, command);
            else
                fprintf(stderr, "Bad command '%s'\n", argument);
            /* Even a bad command means the pin was meant to be configured,
             * not looked up, so its number is not printed. */
            currentHasCommand = true;
        }
    }
    if (haveCurrent && !currentHasCommand)
        printGlobalNumber(current);
    return 0;
}
