/* floor.c: the least a CGI program of this kind can cost. Started by the dynamic loader with
 * libqsr.so.3 like the service, it prints a fixed health-sized answer and ends. */
#include <stdio.h>

int main(void) {
    fputs("Status: 200 OK\r\n"
          "Content-Type: application/json\r\n"
          "Access-Control-Allow-Origin: *\r\n"
          "\r\n"
          "{\"status\":\"ok\",\"format_count\":0,\"atom_count\":0}",
          stdout);
    return 0;
}
