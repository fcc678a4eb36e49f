"""The release check: every known machine run against a candidate driver
package (and a baseline), one page to look at, the rows that got worse
named. tools/vntrsetup-matrix is its command."""
