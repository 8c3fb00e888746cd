"""zelm's command line.

main.py holds the parser and `zelm run` (the part that runs while the
profiler records a program), commands.py the commands that read stored
traces (list, show, export, view), stats.py `zelm stats`, removal.py the
commands that remove them (delete, prune) and render.py the lines they
print.
"""
