"""Time source for time stamps; a module attribute so tests can replace it."""
import datetime

#: The current local time as a ``datetime``.
get_time = datetime.datetime.now
