"""What a read-only client may do, for Tango's access control service.

With access control on (TangoAccessControl registered in the database's CtrlSystem/Services
property), a client whose rights on a device are ``read`` is refused every attribute write
and every command except those its class lists in the class property ``AllowedAccessCmd``.
The client's Tango library makes that check, from the database; the server only declares the
list, once, at start-up, where the site has not set one of its own.

Stop is on the list: whoever may watch the attenuator may also halt it, since a read-only
operator who sees it move towards a setting that would harm the detector must not have to
find a writer first. State and Status change nothing (and the access control service allows
them anyway). Nothing that moves is on it, nor Init, which drops a motion's wait.
"""

from __future__ import annotations

import sys
from typing import List, Sequence

import tango

PROPERTY = "AllowedAccessCmd"
READ_ONLY_COMMANDS = ("State", "Status", "Stop")


def declare(database: tango.Database, class_name: str,
            commands: Sequence[str] = READ_ONLY_COMMANDS) -> List[str]:
    """Sets ``AllowedAccessCmd`` of ``class_name`` to ``commands`` unless the database already
    holds a value for it; returns the list in force. A refusal (the server's own user may be
    read-only on the database device) raises DevFailed."""
    held = list(database.get_class_property(class_name, [PROPERTY])[PROPERTY])
    if held:
        return held
    database.put_class_property(class_name, {PROPERTY: list(commands)})
    return list(commands)


def declare_at_start(class_name: str) -> None:
    """At server start, with a Tango database: :func:`declare`, and a line in the server's log
    saying what it found or did. Without a database (``-file=``, ``-nodb``) there is no
    access control to declare anything to. A failure is reported and the server goes on: a
    missing list only keeps read-only clients from Stop."""
    if not tango.Util._UseDb or tango.Util._FileDb:
        return
    try:
        database = tango.Util.instance().get_database()
        held = declare(database, class_name)
    except tango.DevFailed as err:
        error = err.args[0]
        print(f"attenuator-tango: cannot declare the commands a read-only client may run "
              f"({error.reason}: {error.desc.strip()}); until class {class_name} has the "
              f"property {PROPERTY} ({', '.join(READ_ONLY_COMMANDS)}), access control refuses "
              f"read-only clients every command but State and Status, Stop included",
              file=sys.stderr, flush=True)
        return
    print(f"attenuator-tango: read-only clients may run {', '.join(held)} "
          f"(class property {PROPERTY} of {class_name})", flush=True)
