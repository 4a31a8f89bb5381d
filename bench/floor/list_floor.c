/* The floor of list_bench: the least a program can do to list a restricted account's crontab.
 *
 * It sends the very request pen_safe_crontab sends for a fetch (no allow-listed variables set),
 * reads the answer until the daemon closes, and prints the crontab text with the JSON string
 * escapes the daemon writes undone. No account lookup, no checks beyond what keeps it from
 * printing garbage: a yardstick for start-up and the exchange, never a product.
 *
 *     TARVOK_SANDBOX_ROOT=/tmp/root list_floor
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char REQUEST[] =
    "{\"serializer_version\":\"1.0\",\"namespace\":\"Tarvok\",\"module\":\"Cron\","
    "\"function\":\"fetch\",\"action\":null,\"env\":{},\"data\":null}\r\n\r\n";
static const char SOCKET_PATH[] = "/usr/local/tarvok/var/tvwrapd.sock";
static const char CRONTAB_KEY[] = "\"crontab\":\"";

static char answer[1 << 20];

static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Undoes the escapes of the JSON string starting at `in` in place; returns its length or -1. */
static long unescape(char* text, const char* end) {
    char* in = text;
    char* out = text;
    while (in < end && *in != '"') {
        if (*in != '\\') {
            *out++ = *in++;
            continue;
        }
        if (end - in < 2) return -1;
        const char c = in[1];
        in += 2;
        switch (c) {
            case 'n':
                *out++ = '\n';
                break;
            case 't':
                *out++ = '\t';
                break;
            case 'r':
                *out++ = '\r';
                break;
            case 'b':
                *out++ = '\b';
                break;
            case 'f':
                *out++ = '\f';
                break;
            case 'u': {
                /* The daemon escapes control characters only: one byte each. */
                if (end - in < 4 || hex(in[0]) != 0 || hex(in[1]) != 0) return -1;
                *out++ = (char)(hex(in[2]) * 16 + hex(in[3]));
                in += 4;
                break;
            }
            default:
                *out++ = c;
                break;
        }
    }
    return in < end ? out - text : -1;
}

int main(void) {
    const char* root = getenv("TARVOK_SANDBOX_ROOT");
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (root == NULL || snprintf(address.sun_path, sizeof address.sun_path, "%s%s", root,
                                 SOCKET_PATH) >= (int)sizeof address.sun_path) {
        fputs("list_floor: TARVOK_SANDBOX_ROOT unset or too long\n", stderr);
        return 2;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0 ||
        write(fd, REQUEST, sizeof REQUEST - 1) != (ssize_t)(sizeof REQUEST - 1) ||
        shutdown(fd, SHUT_WR) != 0) {
        perror("list_floor: request");
        return 1;
    }
    size_t size = 0;
    for (ssize_t n;
         size < sizeof answer - 1 && (n = read(fd, answer + size, sizeof answer - 1 - size)) > 0;) {
        size += (size_t)n;
    }
    answer[size] = '\0';
    char* text = strstr(answer, CRONTAB_KEY);
    if (text == NULL) {
        fputs("list_floor: no crontab in the answer\n", stderr);
        return 1;
    }
    text += sizeof CRONTAB_KEY - 1;
    const long length = unescape(text, answer + size);
    if (length < 0) {
        fputs("list_floor: a broken crontab text in the answer\n", stderr);
        return 1;
    }
    return write(1, text, (size_t)length) == length ? 0 : 1;
}
