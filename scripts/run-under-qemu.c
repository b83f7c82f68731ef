/* Runs a client built for another architecture under qemu-user, which must
 * be started by name where binfmt_misc is not mounted. The argument vector
 * is handed on whole, the name the client was started by included, even an
 * empty one: a shell script cannot tell that from its own name.
 *
 *     cc -DQEMU='"qemu-s390x-static"' -DSYSROOT='"/usr/s390x-linux-gnu"' \
 *        -DCLIENT='"/path/to/client"' -o client-under-qemu run-under-qemu.c
 */
#include <stdio.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    char *arguments[argc + 7];
    int count = 0;
    arguments[count++] = QEMU;
    arguments[count++] = "-L";
    arguments[count++] = SYSROOT;
    arguments[count++] = "-0";
    arguments[count++] = argc > 0 ? argv[0] : "";
    arguments[count++] = CLIENT;
    for (int i = 1; i < argc; ++i) {
        arguments[count++] = argv[i];
    }
    arguments[count] = NULL;
    execvp(QEMU, arguments);
    perror(QEMU);
    return 127;
}
