/* An acceptance library that lacks the lookup function: the built-in table must decide. */
int some_other_function(int value) { return value; }
