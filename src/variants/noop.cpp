// SPDX-License-Identifier: MIT
// The floor: a program that does nothing, built and linked as the agent is.
int main()
{
    return 0;
}
