/* String resources of the filter module. Plain macros: the Windows resource compiler reads this
 * too. */
#ifndef QUILLON_COMMON_RESOURCE_IDS_H
#define QUILLON_COMMON_RESOURCE_IDS_H

#define IDS_FILTER_DESCRIPTION 101
#define QUILLON_FILTER_DESCRIPTION_TEXT "Tarnwell Quillon Content Filter"

#endif
