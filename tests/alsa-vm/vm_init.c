/* The first process of the test VM. It mounts what a program expects to find,
 * brings up the loopback interface, runs the command the runner left in the
 * shared folder named by the kernel parameter keyflip_shared, writes the
 * command's exit status back there and powers the VM off. A static program
 * rather than a script: every program start is slow inside User-Mode Linux. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kMaxEntries = 4096 };

static const char* g_shared = NULL;

static void note(const char* format, ...) {
    char path[4096];
    snprintf(path, sizeof path, "%s/init.log", g_shared ? g_shared : "/tmp");
    FILE* log = fopen(path, "a");
    if (log == NULL) {
        return;
    }
    va_list args;
    va_start(args, format);
    vfprintf(log, format, args);
    va_end(args);
    fputc('\n', log);
    fclose(log);
}

static void power_off(void) {
    sync();
    reboot(RB_POWER_OFF);
    /* Reached only when the kernel refused; exiting init ends the VM too. */
    _exit(1);
}

static int mount_one(const char* source, const char* target, const char* type,
                     const char* options) {
    mkdir(target, 0755);
    if (mount(source, target, type, 0, options) != 0 && errno != EBUSY) {
        note("mount %s on %s failed: %s", type, target, strerror(errno));
        return -1;
    }
    return 0;
}

static int loopback_up(void) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        note("socket failed: %s", strerror(errno));
        return -1;
    }
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int result = ioctl(fd, SIOCGIFFLAGS, &request);
    if (result == 0) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        result = ioctl(fd, SIOCSIFFLAGS, &request);
    }
    if (result != 0) {
        note("bringing up lo failed: %s", strerror(errno));
    }
    close(fd);
    return result;
}

/* Reads a file of NUL-terminated strings into entries, ending it with NULL.
 * The text is kept for the life of the program. */
static char** read_list(const char* name, char** entries) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", g_shared, name);
    FILE* file = fopen(path, "r");
    if (file == NULL) {
        note("cannot open %s: %s", path, strerror(errno));
        return NULL;
    }
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    rewind(file);
    char* text = malloc((size_t)size + 1);
    if (text == NULL || fread(text, 1, (size_t)size, file) != (size_t)size) {
        fclose(file);
        free(text);
        return NULL;
    }
    fclose(file);
    text[size] = '\0';
    int count = 0;
    for (long at = 0; at < size && count < kMaxEntries; at += (long)strlen(text + at) + 1) {
        entries[count++] = text + at;
    }
    entries[count] = NULL;
    return entries;
}

static void write_status(int status) {
    char path[4096];
    snprintf(path, sizeof path, "%s/status", g_shared);
    FILE* file = fopen(path, "w");
    if (file == NULL) {
        note("cannot write %s: %s", path, strerror(errno));
        return;
    }
    fprintf(file, "%d\n", status);
    fclose(file);
}

int main(void) {
    /* The kernel hands unknown name=value parameters to init as environment. */
    g_shared = getenv("keyflip_shared");
    if (g_shared == NULL) {
        power_off();
    }

    int failed = 0;
    failed |= mount_one("proc", "/proc", "proc", NULL);
    failed |= mount_one("sysfs", "/sys", "sysfs", NULL);
    failed |= mount_one("devtmpfs", "/dev", "devtmpfs", NULL);
    failed |= mount_one("devpts", "/dev/pts", "devpts", "gid=5,mode=620,ptmxmode=666");
    failed |= mount_one("tmpfs", "/dev/shm", "tmpfs", "mode=1777");
    failed |= mount_one("tmpfs", "/run", "tmpfs", "mode=755");
    failed |= loopback_up();
    if (failed) {
        write_status(125);
        power_off();
    }

    static char* command_entries[kMaxEntries + 1];
    static char* environment_entries[kMaxEntries + 1];
    char** command = read_list("argv", command_entries);
    char** environment = read_list("env", environment_entries);
    char cwd[4096];
    snprintf(cwd, sizeof cwd, "%s/cwd", g_shared);
    FILE* cwd_file = fopen(cwd, "r");
    if (command == NULL || command[0] == NULL || environment == NULL || cwd_file == NULL ||
        fgets(cwd, sizeof cwd, cwd_file) == NULL) {
        note("the runner's files are incomplete");
        write_status(125);
        power_off();
    }
    fclose(cwd_file);
    cwd[strcspn(cwd, "\n")] = '\0';

    char output[4096];
    snprintf(output, sizeof output, "%s/output", g_shared);
    pid_t child = fork();
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(output, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
            chdir(cwd) != 0) {
            _exit(126);
        }
        setsid();
        execvpe(command[0], command, environment);
        dprintf(2, "run-in-vm: cannot run %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    int result = 125;
    if (child > 0) {
        /* Init also reaps orphans, so wait until the command itself ends. */
        for (;;) {
            pid_t ended = wait(&status);
            if (ended == child) {
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (ended < 0 && errno != EINTR) {
                break;
            }
        }
    }
    write_status(result);
    power_off();
    return 0;
}
