/* Start-up reference: a static C program that prints the usage text that
 * the bench script captured from the program, in one write. */
#include <stdio.h>

#include "usage_text.h"

int main(void) {
    fputs(kUsageText, stdout);
    return 0;
}
