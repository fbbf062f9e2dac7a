// health.h: the health report, the counts of stored formats and atom strings.
#ifndef VELTO_STORE_HEALTH_H
#define VELTO_STORE_HEALTH_H

// Answers 200 with the number of entries of formats and of atoms/s whose names do not begin
// with '.'. A directory that cannot be read counts 0: the report has no error answer.
void handle_health();

#endif  // VELTO_STORE_HEALTH_H
