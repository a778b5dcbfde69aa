/* A C program built against the installed libkivclient with
 * `pkg-config --cflags --libs kivclient`: USER [SOCKET], password on stdin. */
#include <stdio.h>
#include <string.h>

#include <kivclient.h>

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s USER [SOCKET] < password\n", argv[0]);
        return 64;
    }
    char password[KIVCLIENT_MAX_PASSWORD + 2];
    if (!fgets(password, sizeof password, stdin)) password[0] = '\0';
    password[strcspn(password, "\n")] = '\0';
    kiv_result *r = NULL;
    int rc = kiv_authenticate(argc == 3 ? argv[2] : NULL, argv[1], password, strlen(password), 0, 5000, &r);
    memset(password, 0, sizeof password);
    if (rc != 0) {
        printf("error: %s\n", kiv_strerror(rc));
        return 9;
    }
    printf("result: %s\n", kiv_strresult(r->code));
    if (r->code == KIV_AUTH_OK) {
        printf("uid: %u\ngroups:", (unsigned)r->uid);
        for (size_t i = 0; i < r->ngroups; ++i) printf(" %u", (unsigned)r->groups[i]);
        printf("\nname: %s\n", r->name);
    }
    rc = r->code == KIV_AUTH_OK ? 0 : 1;
    kiv_result_free(r);
    return rc;
}
