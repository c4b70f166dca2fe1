"""Ratings: the greedy player, players that search in-process, the ladder
of seat-balanced four-player games and its rating fit."""
