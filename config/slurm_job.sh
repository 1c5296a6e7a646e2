#!/bin/bash
# The job script of a campaign's array on a Slurm cluster. Each {{NAME}} is
# filled from the submission's settings; a line whose setting is empty is
# left out. Adapt it to the site: add #SBATCH lines it needs, change the
# environment lines and the launcher in the Submit settings.
#SBATCH --job-name={{job_name}}
#SBATCH --partition={{partition}}
#SBATCH --nodes={{nodes}}
#SBATCH --ntasks={{tasks}}
#SBATCH --cpus-per-task={{cpus_per_task}}
#SBATCH --time={{time}}
#SBATCH --mem={{memory}}
#SBATCH --account={{account}}
#SBATCH --qos={{qos}}
#SBATCH --output={{folder}}/slurm-%A_%a.out
{{environment}}
task=$(( {{task_offset}} + SLURM_ARRAY_TASK_ID ))
cd {{folder}}/R$task || exit 1
{{launcher}}
status=$?
echo $status > exit_status
exit $status
