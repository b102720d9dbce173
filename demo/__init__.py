"""The main job: the road a fetched result takes through velmora.kestrine.

An embedded sqlite3 database is filled with the kinds of columns drivers hand
over raw; the rows are fetched in batches, converted and built as rows of a
``BaseRow`` subclass, read every way the toolkit reads them, projected,
pickled, and the whole road is timed against an interpreted row class and
against ``sqlite3.Row``.
"""
