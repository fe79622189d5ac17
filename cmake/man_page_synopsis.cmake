# cmake -DPAGE=kalmix.1 -P man_page_synopsis.cmake: drops the further usage
# lines that help2man leaves at the top of the description; the synopsis
# (from kalmix.h2m) has them.
file(READ ${PAGE} text)
string(REGEX REPLACE "\\.SH DESCRIPTION\n\\.IP\n[^.][^\n]*\n([^.][^\n]*\n)*\\.PP\n" ".SH DESCRIPTION\n" text "${text}")
file(WRITE ${PAGE} "${text}")
