# The same rewrite as cnfupgrade, for GNU sed in the C locale:
#   LC_ALL=C sed -i -f upgrade.sed FILE...
# A line is rewritten when, after spaces and tabs, one of the old keys
# stands followed by a space, a tab or a colon; its indentation then
# becomes as many spaces.
/^[ \t]*\(proxy_1\|port_1\|user_name_1\|logical_name_1\|logical_password_1\|display_name_1\|user_name_2\|logical_name_2\|logical_password_2\|display_name_2\|username\|user_name\|logical_name\|logical_password\|proxy_ipaddr\|proxy\|port\|register_timeout\|register_expires\|timer_expires\)[ \t:]/!b
s/^\([ \t]*\)proxy_1\([ \t:]\)/\1proxy1_address\2/
s/^\([ \t]*\)port_1\([ \t:]\)/\1proxy1_port\2/
s/^\([ \t]*\)user_name_1\([ \t:]\)/\1line1_name\2/
s/^\([ \t]*\)logical_name_1\([ \t:]\)/\1line1_authname\2/
s/^\([ \t]*\)logical_password_1\([ \t:]\)/\1line1_password\2/
s/^\([ \t]*\)display_name_1\([ \t:]\)/\1line1_shortname\2/
s/^\([ \t]*\)user_name_2\([ \t:]\)/\1line2_name\2/
s/^\([ \t]*\)logical_name_2\([ \t:]\)/\1line2_authname\2/
s/^\([ \t]*\)logical_password_2\([ \t:]\)/\1line2_password\2/
s/^\([ \t]*\)display_name_2\([ \t:]\)/\1line2_shortname\2/
s/^\([ \t]*\)username\([ \t:]\)/\1line1_name\2/
s/^\([ \t]*\)user_name\([ \t:]\)/\1line1_name\2/
s/^\([ \t]*\)logical_name\([ \t:]\)/\1line1_authname\2/
s/^\([ \t]*\)logical_password\([ \t:]\)/\1line1_password\2/
s/^\([ \t]*\)proxy_ipaddr\([ \t:]\)/\1proxy1_address\2/
s/^\([ \t]*\)proxy\([ \t:]\)/\1proxy1_address\2/
s/^\([ \t]*\)port\([ \t:]\)/\1proxy1_port\2/
s/^\([ \t]*\)register_timeout\([ \t:]\)/\1timer_register_expires\2/
s/^\([ \t]*\)register_expires\([ \t:]\)/\1timer_register_expires\2/
s/^\([ \t]*\)timer_expires\([ \t:]\)/\1timer_invite_expires\2/
:blanks
s/^\( *\)\t/\1 /
t blanks
